#include "pkiGlobal_C.h"

#include "VornSign.h"
#include "VornVerify.h"
#include "cErr.h"
#include "cLog.h"

#include <string>

namespace {

int logged(const char* name, int rc) {
    if (_logger.isEnabled(cLog::DEBUG)) {
        std::string msg(name);
        msg += "() return ";
        _logger.logLevel(cLog::DEBUG, msg.c_str(), rc);
    }
    return rc;
}

// A code without a text of its own is told by the message the library logged
// for it; the verifier's calls start with none, so no older one is taken.
const char* explained(const char* msg, int code) {
    if (msg == nullptr || cErr::getText(code) != nullptr || cLog::lastError().empty()) return msg;
    thread_local std::string text;
    text = cLog::lastError() + "(" + std::to_string(code) + ")";
    return text.c_str();
}

template <typename Fn>
int verifying(const char* name, Fn&& fn) {
    cLog::clearLastError();
    return logged(name, fn());
}

}  // namespace

extern "C" {

const char* GetPkiVersion(void) { return VornSign::GetPkiVersion(); }

int GetErrorCode(void) {
    if (globalVerify.isLoaded()) return logged("GetErrorCode", globalVerify.GetErrorCode());
    if (globalSign.isActivated()) return logged("GetErrorCode", globalSign.GetErrorCode());
    return logged("GetErrorCode", ERR_MEMORY_ALLOC);
}

const char* GetErrorMsg(void) {
    const char* msg = nullptr;
    if (globalVerify.isLoaded()) msg = explained(globalVerify.GetErrorMsg(), globalVerify.GetErrorCode());
    else if (globalSign.isActivated()) msg = globalSign.GetErrorMsg();
    VORN_LOG(cLog::DEBUG, "GetErrorMsg() return ", msg ? msg : "(null)");
    return msg;
}

int MakeVornSignPasswd(char* out, int* outLen, const char* propertyFile, const char* passwd) {
    return logged("MakeVornSignPasswd", VornSign::MakeVornSignPasswd(out, outLen, propertyFile, passwd));
}

int VornSignInitial(const char* propertyFile, const char* encedPfxPasswd) {
    return logged("VornSignInitial", globalSign.LoadProperty(propertyFile, encedPfxPasswd));
}

int SignPkcs7(const char* content, const char* encoding) {
    return logged("SignPkcs7", globalSign.SignPkcs7(content, encoding));
}

int SignPkcs7Bin(const unsigned char* data, int length) {
    return logged("SignPkcs7Bin", globalSign.SignPkcs7Bin(data, length));
}

int SignPkcs7File(const char* fileName) { return logged("SignPkcs7File", globalSign.SignPkcs7File(fileName)); }

const char* GetSignedPkcs7(void) { return globalSign.GetSignedPkcs7(); }
const char* GetSignerCertB64(void) { return globalSign.GetSignerCertB64(); }
const char* GetSignerCertSubjectCN(void) { return globalSign.GetSignerCertSubjectCN(); }
const char* GetSignerCertSubject(void) { return globalSign.GetSignerCertSubject(); }
const char* GetSignerCertIssuer(void) { return globalSign.GetSignerCertIssuer(); }
const char* GetSignerCertNotBefore(void) { return globalSign.GetSignerCertNotBefore(); }
const char* GetSignerCertNotAfter(void) { return globalSign.GetSignerCertNotAfter(); }
const char* GetSignerCertSerial(void) { return globalSign.GetSignerCertSerial(); }
const char* GetSignerCertFinger(void) { return globalSign.GetSignerCertFinger(); }

int VornVerifyInitial(const char* propertyFile) {
    return verifying("VornVerifyInitial", [&] { return globalVerify.LoadProperty(propertyFile); });
}

int VerifyPkcs7(const char* pkcs7B64) {
    if (!globalVerify.isLoaded()) return logged("VerifyPkcs7", ERR_MEMORY_ALLOC);
    return verifying("VerifyPkcs7", [&] { return globalVerify.VerifyPkcs7(pkcs7B64); });
}

int VerifyPkcs7Bin(const unsigned char* data, int length) {
    if (!globalVerify.isLoaded()) return logged("VerifyPkcs7Bin", ERR_MEMORY_ALLOC);
    return verifying("VerifyPkcs7Bin", [&] { return globalVerify.VerifyPkcs7Bin(data, length); });
}

int VerifyPkcs7File(const char* fileName) {
    if (!globalVerify.isLoaded()) return logged("VerifyPkcs7File", ERR_MEMORY_ALLOC);
    return verifying("VerifyPkcs7File", [&] { return globalVerify.VerifyPkcs7File(fileName); });
}

int GetVerifyContentData(unsigned char* buffer, int* length) {
    if (!globalVerify.isLoaded()) return logged("GetVerifyContentData", ERR_MEMORY_ALLOC);
    return verifying("GetVerifyContentData", [&] { return globalVerify.GetVerifyContentData(buffer, length); });
}

#define VORN_VERIFY_TEXT(fn) \
    const char* fn(void) { return globalVerify.isLoaded() ? globalVerify.fn() : nullptr; }
VORN_VERIFY_TEXT(GetVerifyContent)
VORN_VERIFY_TEXT(GetVerifyCertB64)
VORN_VERIFY_TEXT(GetVerifyCertSubjectCN)
VORN_VERIFY_TEXT(GetVerifyCertSubject)
VORN_VERIFY_TEXT(GetVerifyCertIssuer)
VORN_VERIFY_TEXT(GetVerifyCertNotBefore)
VORN_VERIFY_TEXT(GetVerifyCertNotAfter)
VORN_VERIFY_TEXT(GetVerifyCertSerial)
VORN_VERIFY_TEXT(GetVerifyCertFinger)
#undef VORN_VERIFY_TEXT

}  // extern "C"
