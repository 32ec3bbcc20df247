#!/usr/bin/env bash
# Test PKI generated with the openssl command: make_certs.sh OUTDIR
#
# OUTDIR/
#   root.{pem,der,key} root.ski      self-signed root CA ("/C=TW/O=Taloma Test/CN=Taloma Test Root CA")
#   inter.{pem,der,key} inter.ski    intermediate CA signed by the root
#   chain.p7b (DER) chain.pem        root + intermediate, as signing/verification chains are shipped
#   <user>.{pem,der,key}             end-entity certificates issued by the intermediate:
#     sign      digitalSignature+nonRepudiation, valid now     "/C=TW/O=Taloma Bank/OU=Trading/OU=Futures/CN=Jo Lee"
#     nonrep    nonRepudiation only, valid now
#     nosign    keyEncipherment only (no signing usage)
#     noku      no keyUsage extension
#     future    signing usage, not valid before 2040-01-01
#     expired   signing usage, expired 2020-01-01
#     edge      notBefore 1970-01-01 00:00:00Z, notAfter 2049-12-31 16:00:00Z (UTCTime)
#     utf8      CN with non-ASCII characters (UTF8String)
#   <user>.p12          OpenSSL 3 default PKCS#12 (AES-256, PBKDF2), key+cert+inter+root
#   <user>-legacy.p12   the same made with -legacy (RC2/3DES, SHA-1 MAC)
#   sign-nochain.p12    key+cert only
#   sign-certonly.p12   certificate without key
#   manifest            "name=path" lines for every file above, plus password=1234
#   ca/root, ca/inter   openssl ca databases (index.txt, serial, ca.cnf) for revocations and CRLs:
#                         openssl ca -config ca/inter/ca.cnf -revoke sign.pem -crl_reason keyCompromise
#                         openssl ca -config ca/inter/ca.cnf -gencrl -out x.crl
# Re-running with an up-to-date manifest does nothing.
set -euo pipefail

OUT=${1:?usage: make_certs.sh OUTDIR}
PASS=1234
SCRIPT=$(readlink -f "$0")
mkdir -p "$OUT"
OUT=$(cd "$OUT" && pwd)
if [[ -f $OUT/manifest && $OUT/manifest -nt $SCRIPT ]]; then
  exit 0
fi
# Several test runners may start at once: one generates, the others wait.
exec 9>"$OUT/.lock"
flock 9
if [[ -f $OUT/manifest && $OUT/manifest -nt $SCRIPT ]]; then
  exit 0
fi
rm -rf "$OUT/ca" "$OUT/manifest"
cd "$OUT"

newkey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }
ski() { openssl x509 -in "$1" -noout -ext subjectKeyIdentifier | sed -n '2s/[ :]//gp' | tr a-f A-F; }

make_ca_dir() {  # name issuer-cert issuer-key
  local d=ca/$1
  mkdir -p "$d/newcerts"
  : >"$d/index.txt"
  printf '1000\n' >"$d/serial"
  printf '1000\n' >"$d/crlnumber"
  cat >"$d/ca.cnf" <<CNF
[ ca ]
default_ca = this_ca
[ this_ca ]
dir = $OUT/$d
database = \$dir/index.txt
new_certs_dir = \$dir/newcerts
serial = \$dir/serial
crlnumber = \$dir/crlnumber
certificate = $2
private_key = $3
default_md = sha256
default_days = 3650
default_crl_days = 30
policy = policy_any
unique_subject = no
email_in_dn = no
copy_extensions = none
[ policy_any ]
countryName = optional
organizationName = optional
organizationalUnitName = optional
commonName = supplied
[ ext_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ ext_sign ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
crlDistributionPoints = URI:http://crl.example.test/inter.crl
[ ext_nonrep ]
basicConstraints = CA:false
keyUsage = critical, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ ext_nosign ]
basicConstraints = CA:false
keyUsage = critical, keyEncipherment
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ ext_noku ]
basicConstraints = CA:false
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
CNF
}

# Root (self-signed through openssl ca so that it is in the root's database too).
newkey root.key
openssl req -new -key root.key -subj "/C=TW/O=Taloma Test/CN=Taloma Test Root CA" -out root.csr
make_ca_dir root "$OUT/root.pem" "$OUT/root.key"
openssl ca -batch -notext -config ca/root/ca.cnf -selfsign -keyfile root.key -extensions ext_ca \
  -days 7300 -in root.csr -out root.pem 2>/dev/null

newkey inter.key
openssl req -new -key inter.key -subj "/C=TW/O=Taloma Test/OU=Issuing/CN=Taloma Test Issuing CA" -out inter.csr
openssl ca -batch -notext -config ca/root/ca.cnf -extensions ext_ca -days 5000 \
  -in inter.csr -out inter.pem 2>/dev/null
make_ca_dir inter "$OUT/inter.pem" "$OUT/inter.key"

cat root.pem inter.pem >chain.pem
openssl crl2pkcs7 -nocrl -certfile chain.pem -outform DER -out chain.p7b
ski root.pem >root.ski
ski inter.pem >inter.ski

issue() {  # name ext subject [openssl ca date options...]
  local name=$1 ext=$2 subj=$3
  shift 3
  newkey "$name.key"
  openssl req -new -utf8 -key "$name.key" -subj "$subj" -out "$name.csr"
  openssl ca -batch -notext -utf8 -config ca/inter/ca.cnf -extensions "$ext" "$@" \
    -in "$name.csr" -out "$name.pem" 2>/dev/null
  rm -f "$name.csr"
}

issue sign ext_sign "/C=TW/O=Taloma Bank/OU=Trading/OU=Futures/CN=Jo Lee" -days 3650
issue nonrep ext_nonrep "/C=TW/O=Taloma Bank/CN=Nonrep User" -days 3650
issue nosign ext_nosign "/C=TW/O=Taloma Bank/CN=Cipher Only" -days 3650
issue noku ext_noku "/C=TW/O=Taloma Bank/CN=No Usage" -days 3650
issue future ext_sign "/C=TW/O=Taloma Bank/CN=Future User" -startdate 20400101000000Z -enddate 20450101000000Z
issue expired ext_sign "/C=TW/O=Taloma Bank/CN=Expired User" -startdate 20100101000000Z -enddate 20200101000000Z
issue edge ext_sign "/C=TW/O=Taloma Bank/CN=Edge User" -startdate 700101000000Z -enddate 491231160000Z
issue utf8 ext_sign "/C=TW/O=台灣測試銀行/CN=王小明" -days 3650
rm -f root.csr inter.csr

USERS="sign nonrep nosign noku future expired edge utf8"
for f in root inter $USERS; do
  openssl x509 -in "$f.pem" -outform DER -out "$f.der"
done
for u in $USERS; do
  openssl pkcs12 -export -inkey "$u.key" -in "$u.pem" -certfile chain.pem -name "$u" \
    -passout "pass:$PASS" -out "$u.p12"
  openssl pkcs12 -export -legacy -inkey "$u.key" -in "$u.pem" -certfile chain.pem -name "$u" \
    -passout "pass:$PASS" -out "$u-legacy.p12"
done
openssl pkcs12 -export -inkey sign.key -in sign.pem -name sign -passout "pass:$PASS" -out sign-nochain.p12
openssl pkcs12 -export -nokeys -in sign.pem -passout "pass:$PASS" -out sign-certonly.p12

{
  echo "dir=$OUT"
  echo "password=$PASS"
  for f in root inter $USERS; do
    echo "$f.pem=$OUT/$f.pem"
    echo "$f.der=$OUT/$f.der"
    echo "$f.key=$OUT/$f.key"
  done
  for u in $USERS; do
    echo "$u.p12=$OUT/$u.p12"
    echo "$u-legacy.p12=$OUT/$u-legacy.p12"
  done
  echo "sign-nochain.p12=$OUT/sign-nochain.p12"
  echo "sign-certonly.p12=$OUT/sign-certonly.p12"
  echo "chain.p7b=$OUT/chain.p7b"
  echo "chain.pem=$OUT/chain.pem"
  echo "root.ski=$(cat root.ski)"
  echo "inter.ski=$(cat inter.ski)"
  echo "ca.root=$OUT/ca/root/ca.cnf"
  echo "ca.inter=$OUT/ca/inter/ca.cnf"
} >manifest.tmp
# Certificates issued above start at the current second, and the chain check
# refuses a certificate at exactly its not-before second: let that second pass.
sleep 1
mv manifest.tmp manifest
