#ifndef VORN_PKIGLOBAL_C_H
#define VORN_PKIGLOBAL_C_H
/* The flat C interface of libVornPKI.so over the process-wide signer and
 * verifier. Returned texts belong to the library and stay valid until the
 * next text-returning call on the same object (signer or verifier). */
/* Self-contained: this header ships with the library, vornExport.h does not. */
#ifndef VORN_API
#if defined(__GNUC__)
#define VORN_API __attribute__((visibility("default")))
#else
#define VORN_API
#endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

VORN_API const char* GetPkiVersion(void);
VORN_API int GetErrorCode(void);
VORN_API const char* GetErrorMsg(void);

VORN_API int MakeVornSignPasswd(char* out, int* outLen, const char* propertyFile, const char* passwd);
VORN_API int VornSignInitial(const char* propertyFile, const char* encedPfxPasswd);
VORN_API int SignPkcs7(const char* content, const char* encoding);
VORN_API int SignPkcs7Bin(const unsigned char* data, int length);
VORN_API int SignPkcs7File(const char* fileName);
VORN_API const char* GetSignedPkcs7(void);
VORN_API const char* GetSignerCertB64(void);
VORN_API const char* GetSignerCertSubjectCN(void);
VORN_API const char* GetSignerCertSubject(void);
VORN_API const char* GetSignerCertIssuer(void);
VORN_API const char* GetSignerCertNotBefore(void);
VORN_API const char* GetSignerCertNotAfter(void);
VORN_API const char* GetSignerCertSerial(void);
VORN_API const char* GetSignerCertFinger(void);

VORN_API int VornVerifyInitial(const char* propertyFile);
VORN_API int VerifyPkcs7(const char* pkcs7B64);
VORN_API int VerifyPkcs7Bin(const unsigned char* data, int length);
VORN_API int VerifyPkcs7File(const char* fileName);
VORN_API int GetVerifyContentData(unsigned char* buffer, int* length);
VORN_API const char* GetVerifyContent(void);
VORN_API const char* GetVerifyCertB64(void);
VORN_API const char* GetVerifyCertSubjectCN(void);
VORN_API const char* GetVerifyCertSubject(void);
VORN_API const char* GetVerifyCertIssuer(void);
VORN_API const char* GetVerifyCertNotBefore(void);
VORN_API const char* GetVerifyCertNotAfter(void);
VORN_API const char* GetVerifyCertSerial(void);
VORN_API const char* GetVerifyCertFinger(void);

#ifdef __cplusplus
}
#endif
#endif
