#!/usr/bin/env bash
# Chains, revocations and CRLs for the chain/verifier tests, on top of
# make_certs.sh: make_crls.sh PKIDIR  (writes PKIDIR/crl/)
#
# PKIDIR/crl/
#   rv_<reason>.{pem,p12}   users of the issuing CA revoked with that reason:
#                           unspecified keyCompromise CACompromise affiliationChanged superseded
#                           cessationOfOperation certificateHold removeFromCRL, and noreason
#                           (an entry without a reason extension)
#   good.{pem,p12}          a user of the issuing CA that is never revoked
#   inter.crl               the issuing CA's CRL with all revocations (DER, valid 30 days)
#   inter-empty.crl         the same CA's CRL before any revocation (DER)
#   inter-expired.crl       all revocations, nextUpdate 2020-01-01 (PEM)
#   root.crl                the root's CRL, no entries (DER)
#   inter-only.p7b          the issuing CA without its root (fails the chain's own check)
#   other-root.{pem,key} stranger.{pem,p12}    an unrelated root and a user of it
#   forged.{pem,p12}        a user "issued" by a look-alike of the issuing CA (same name and SKI,
#                           other key): its signature does not verify against the chain
#   ecdsa.{pem,p12}         a P-256 user of the issuing CA
#   inter-forged.crl        an empty list signed by the look-alike issuing CA (same name and key id)
#   other-root.crl          the unrelated root's own (genuine, empty) list
#   inter-nonext.crl        inter-expired.crl without its nextUpdate, re-signed by the issuing CA
#   other.p7b other-root.ski  a one-certificate chain of the unrelated root and its SKI
#   manifest                name=path lines
set -euo pipefail

PKI=${1:?usage: make_crls.sh PKIDIR}
HERE=$(dirname "$(readlink -f "$0")")
bash "$HERE/make_certs.sh" "$PKI"
PKI=$(cd "$PKI" && pwd)
OUT=$PKI/crl
SCRIPT=$(readlink -f "$0")
mkdir -p "$OUT"
fresh() { [[ -f $OUT/manifest && $OUT/manifest -nt $SCRIPT && $OUT/manifest -nt $PKI/manifest ]]; }
fresh && exit 0
exec 9>"$OUT/.lock"
flock 9
fresh && exit 0
rm -rf "$OUT"/ca "$OUT"/manifest
cd "$OUT"
PASS=1234

# A private copy of the issuing CA's database, so that these revocations stay out of it.
mkdir -p ca/inter/newcerts
cp "$PKI/ca/inter/index.txt" "$PKI/ca/inter/serial" "$PKI/ca/inter/crlnumber" ca/inter/
printf '2000\n' >ca/inter/serial
sed "s#^dir = .*#dir = $OUT/ca/inter#" "$PKI/ca/inter/ca.cnf" >ca/inter/ca.cnf
CNF=$OUT/ca/inter/ca.cnf

newkey() { openssl genpkey -algorithm RSA -pkeyopt rsa_keygen_bits:2048 -out "$1" 2>/dev/null; }
p12() {  # name key cert extra-certs
  openssl pkcs12 -export -inkey "$2" -in "$3" -certfile "$4" -name "$1" -passout "pass:$PASS" -out "$1.p12"
}
issue() {  # name subject
  newkey "$1.key"
  openssl req -new -key "$1.key" -subj "$2" -out "$1.csr"
  openssl ca -batch -notext -config "$CNF" -extensions ext_sign -days 3650 -in "$1.csr" -out "$1.pem" 2>/dev/null
  rm -f "$1.csr"
  p12 "$1" "$1.key" "$1.pem" "$PKI/chain.pem"
}

openssl ca -batch -config "$CNF" -gencrl -crldays 30 -outform DER -out inter-empty.crl 2>/dev/null \
  || { openssl ca -batch -config "$CNF" -gencrl -crldays 30 -out inter-empty.pem 2>/dev/null;
       openssl crl -in inter-empty.pem -outform DER -out inter-empty.crl; rm -f inter-empty.pem; }

REASONS="unspecified keyCompromise CACompromise affiliationChanged superseded cessationOfOperation certificateHold removeFromCRL"
issue good "/C=TW/O=Taloma Bank/CN=Good User"
for r in $REASONS noreason; do
  issue "rv_$r" "/C=TW/O=Taloma Bank/CN=Revoked $r"
  if [[ $r == noreason ]]; then
    openssl ca -batch -config "$CNF" -revoke "rv_$r.pem" 2>/dev/null
  else
    openssl ca -batch -config "$CNF" -revoke "rv_$r.pem" -crl_reason "$r" 2>/dev/null
  fi
done

openssl ca -batch -config "$CNF" -gencrl -crldays 30 -out inter.pem.crl 2>/dev/null
openssl crl -in inter.pem.crl -outform DER -out inter.crl
rm -f inter.pem.crl
openssl ca -batch -config "$CNF" -gencrl -crl_lastupdate 20190101000000Z -crl_nextupdate 20200101000000Z \
  -out inter-expired.crl 2>/dev/null

# The root's CRL from a private copy of its database.
mkdir -p ca/root/newcerts
cp "$PKI/ca/root/index.txt" "$PKI/ca/root/serial" "$PKI/ca/root/crlnumber" ca/root/
sed "s#^dir = .*#dir = $OUT/ca/root#" "$PKI/ca/root/ca.cnf" >ca/root/ca.cnf
openssl ca -batch -config ca/root/ca.cnf -gencrl -crldays 30 -out root.pem.crl 2>/dev/null
openssl crl -in root.pem.crl -outform DER -out root.crl
rm -f root.pem.crl

openssl crl2pkcs7 -nocrl -certfile "$PKI/inter.pem" -outform DER -out inter-only.p7b

# An unrelated root and its user.
openssl req -x509 -newkey rsa:2048 -nodes -keyout other-root.key -out other-root.pem -days 3650 \
  -subj "/C=TW/O=Elsewhere/CN=Other Root" -addext "keyUsage=critical,keyCertSign,cRLSign" \
  -addext "basicConstraints=critical,CA:true" 2>/dev/null
newkey stranger.key
openssl req -new -key stranger.key -subj "/C=TW/O=Elsewhere/CN=Stranger" -out stranger.csr
cat >ext.cnf <<CNF
[ ext_sign ]
basicConstraints = CA:false
keyUsage = critical, digitalSignature, nonRepudiation
subjectKeyIdentifier = hash
authorityKeyIdentifier = keyid:always
[ ext_forged_ca ]
basicConstraints = critical, CA:true
keyUsage = critical, keyCertSign, cRLSign
subjectKeyIdentifier = $(sed 's/../&:/g; s/:$//' "$PKI/inter.ski")
CNF
openssl x509 -req -in stranger.csr -CA other-root.pem -CAkey other-root.key -CAcreateserial -days 3650 \
  -extfile ext.cnf -extensions ext_sign -out stranger.pem 2>/dev/null
p12 stranger stranger.key stranger.pem other-root.pem

# The look-alike issuing CA (self-signed, same subject and SKI) and its user.
newkey fake-inter.key
openssl req -x509 -key fake-inter.key -out fake-inter.pem -days 3650 \
  -subj "$(openssl x509 -in "$PKI/inter.pem" -noout -subject -nameopt compat | sed 's/^subject=//')" \
  -config ext.cnf -extensions ext_forged_ca 2>/dev/null
newkey forged.key
openssl req -new -key forged.key -subj "/C=TW/O=Taloma Bank/CN=Forged User" -out forged.csr
openssl x509 -req -in forged.csr -CA fake-inter.pem -CAkey fake-inter.key -CAcreateserial -days 3650 \
  -extfile ext.cnf -extensions ext_sign -out forged.pem 2>/dev/null
p12 forged forged.key forged.pem fake-inter.pem

# An ECDSA user of the issuing CA (its signatures take the general verification path).
openssl genpkey -algorithm EC -pkeyopt ec_paramgen_curve:P-256 -out ecdsa.key 2>/dev/null
openssl req -new -key ecdsa.key -subj "/C=TW/O=Taloma Bank/CN=Curve User" -out ecdsa.csr
openssl ca -batch -notext -config "$CNF" -extensions ext_sign -days 3650 -in ecdsa.csr -out ecdsa.pem 2>/dev/null
p12 ecdsa ecdsa.key ecdsa.pem "$PKI/chain.pem"
rm -f ./*.csr ./*.srl

# Empty lists of CAs that must not speak for the issuing CA, with a key identifier.
gencrl() {  # name cert key out
  mkdir -p "ca/$1"
  : >"ca/$1/index.txt"
  printf '1000\n' >"ca/$1/crlnumber"
  cat >"ca/$1/ca.cnf" <<CNF
[ ca ]
default_ca = this_ca
[ this_ca ]
database = $OUT/ca/$1/index.txt
crlnumber = $OUT/ca/$1/crlnumber
certificate = $2
private_key = $3
default_md = sha256
crl_extensions = crl_ext
[ crl_ext ]
authorityKeyIdentifier = keyid:always
CNF
  openssl ca -batch -config "ca/$1/ca.cnf" -gencrl -crldays 30 -out "$4.pem" 2>/dev/null
  openssl crl -in "$4.pem" -outform DER -out "$4"
  rm -f "$4.pem"
}
gencrl fake "$OUT/fake-inter.pem" "$OUT/fake-inter.key" inter-forged.crl
gencrl other "$OUT/other-root.pem" "$OUT/other-root.key" other-root.crl
openssl crl2pkcs7 -nocrl -certfile other-root.pem -outform DER -out other.p7b
openssl x509 -in other-root.pem -noout -ext subjectKeyIdentifier | sed -n '2s/[ :]//gp' | tr a-f A-F >other-root.ski

# openssl ca always writes a nextUpdate: take it out of the 2019 list and sign the rest again.
openssl crl -in inter-expired.crl -outform DER -out inter-expired.der
python3 - inter-expired.der "$PKI/inter.key" inter-nonext.crl <<'PY'
import subprocess, sys

def tlv(b, i):  # tag, value start, end
    n, j = b[i + 1], i + 2
    if n & 0x80:
        n, j = int.from_bytes(b[j:j + (n & 0x7F)], "big"), j + (n & 0x7F)
    return b[i], j, j + n

def enc(tag, body):
    n = len(body)
    head = bytes([n]) if n < 0x80 else bytes([0x80 | (n.bit_length() + 7) // 8]) + n.to_bytes((n.bit_length() + 7) // 8, "big")
    return bytes([tag]) + head + body

der = open(sys.argv[1], "rb").read()
_, body, _ = tlv(der, 0)
_, i, tbs_end = tlv(der, body)
items = []
while i < tbs_end:
    items.append(der[i:tlv(der, i)[2]])
    i += len(items[-1])
times = [k for k, item in enumerate(items) if item[0] in (0x17, 0x18)]
assert len(times) == 2, "expected thisUpdate and nextUpdate"
del items[times[1]]
tbs = enc(0x30, b"".join(items))
alg = der[tbs_end:tlv(der, tbs_end)[2]]
sig = subprocess.run(["openssl", "dgst", "-sha256", "-sign", sys.argv[2]], input=tbs, capture_output=True, check=True).stdout
open(sys.argv[3], "wb").write(enc(0x30, tbs + alg + enc(0x03, b"\0" + sig)))
PY
rm -f inter-expired.der
openssl crl -inform DER -in inter-nonext.crl -noout 2>/dev/null

{
  echo "dir=$OUT"
  for f in good $(for r in $REASONS noreason; do echo "rv_$r"; done) stranger forged ecdsa; do
    echo "$f.pem=$OUT/$f.pem"
    echo "$f.p12=$OUT/$f.p12"
    echo "$f.key=$OUT/$f.key"
  done
  for f in inter.crl inter-empty.crl inter-expired.crl root.crl inter-only.p7b other-root.pem \
           inter-forged.crl other-root.crl inter-nonext.crl other.p7b; do
    echo "$f=$OUT/$f"
  done
  echo "other-root.ski=$(cat other-root.ski)"
} >manifest.tmp
# Certificates issued above start at the current second, and the chain check
# refuses a certificate at exactly its not-before second: let that second pass.
sleep 1
mv manifest.tmp manifest
