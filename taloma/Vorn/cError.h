#define ERR_SUCCESS 0 // 成功
#define ERR_CREATE_FOLDER 1001 // 無法建立目錄
#define ERR_FILE_READ 1002 // 檔案無法讀取
#define ERR_FILE_WRITE 1003 // 檔案無法寫入
#define ERR_CERT_FILE_NOT_EXIST 1101 // 憑證檔不存在
#define ERR_CERT_FILE_READ 1102 // 憑證檔無法讀取
#define ERR_CERT_FILE_WRITE 1103 // 憑證檔無法寫入
#define ERR_PROPERTY_NOT_EXIST 1201 // PROPERTY 檔不存在
#define ERR_PROPERTY_READ 1202 // PROPERTY 檔無法讀取
#define ERR_PROPERTY_WRITE 1203 // PROPERTY 檔無法寫入
#define ERR_IE_PROTECTED_MODE 1500 // IE 受保護模式已啟動, 請加入信任網站, 並使用預設保護模式(關閉)
#define ERR_RSA_WEAK_KEY 1501 // RSA 產生弱金鑰, 無法使用
#define ERR_GENERAL 5001 // 一般錯誤
#define ERR_MEMORY_ALLOC 5002 // 配置記憶體發生錯誤
#define ERR_MEMORY_NOT_ENOUGH 5003 // 配置記憶體不足
#define ERR_NOT_SUPPORTED 5004 // 不支援的功能
#define ERR_PARAMETER 5005 // 錯誤的參數
#define ERR_HANDLE 5006 // Handle錯誤
#define ERR_BASE64 5008 // Base64 編碼錯誤
#define ERR_CERT_NOT_FOUND 5010 // 無法在憑證區(或憑證檔)中,找到指定憑證
#define ERR_CERT_EXPIRED 5011 // 憑證已過期
#define ERR_CERT_NOT_YET_VALID 5012 // 憑證尚未生效,無法使用
#define ERR_CERT_INVALID 5013 // 憑證可能過期或無法使用
#define ERR_CERT_SUBJECT 5014 // 憑證主旨錯誤
#define ERR_CERT_ISSUER_NOT_FOUND 5015 // 無法找到憑證發行者
#define ERR_CERT_SIGNATURE 5016 // 不合法的憑證簽章
#define ERR_CERT_KEY_USAGE 5017 // 憑證用途(加解密,簽驗章)不合適
#define ERR_CERT_NOT_REGISTERED 5018 // 憑證尚未註冊, 無法找到指定憑證
#define ERR_CERT_REVOKED 5020 // 憑證已廢止
#define ERR_CERT_REVOKED_KEY_COMPROMISE 5021 // 憑證已廢止(金鑰洩露)
#define ERR_CERT_REVOKED_CA_COMPROMISE 5022 // 憑證已廢止(CA compromised)
#define ERR_CERT_REVOKED_AFFILIATION 5023 // 憑證已廢止(聯盟已變更)
#define ERR_CERT_REVOKED_SUPERSEDED 5024 // 憑證已廢止(已取代)
#define ERR_CERT_REVOKED_CESSATION 5025 // 憑證已廢止(已停止)
#define ERR_CERT_ON_HOLD 5026 // 憑證保留或暫禁
#define ERR_CERT_REVOKED_BY_CRL 5028 // 憑證已被CRL廢止
#define ERR_CRL_EXPIRED 5030 // CRL已過期
#define ERR_CRL_INVALID 5031 // 不合法的CRL
#define ERR_CRL_NOT_FOUND 5032 // 無法找到CRL
#define ERR_CRL_SIGNATURE 5034 // CRL簽章值錯誤
#define ERR_DIGEST 5035 // Digest錯誤
#define ERR_SIGNATURE_VALUE 5036 // 錯誤的簽章值
#define ERR_CONTENT 5037 // 內容錯誤
#define ERR_CERT_FORMAT 5040 // 憑證格式錯誤
#define ERR_CRL_FORMAT 5041 // CRL格式錯誤
#define ERR_PKCS7_FORMAT 5042 // 錯誤的PKCS7格式
#define ERR_KEY_FORMAT 5043 // Key的格式錯誤
#define ERR_PKCS10_FORMAT 5044 // 不合法的PKCS10格式
#define ERR_FORMAT 5045 // 不合適的格式
#define ERR_CSP_NAME 5046 // CSP 名稱錯誤
#define ERR_CSP_NOT_SUPPORTED 5047 // 作業系統不支援此 CSP
#define ERR_CSP_FORCE_AES_SHA2 5048 // 強制使用 AES/SHA2 CSP 失敗, 作業系統不支援
#define ERR_CSP_FORCE_NO_CHANGE 5049 // 強制使用 AES/SHA2 CSP 情況下, 禁止變更使用其他 CSP
#define ERR_KEY_NOT_EXIST 5060 // 金鑰不存在
#define ERR_SIGN 5061 // 簽章失敗
#define ERR_VERIFY 5062 // 驗章失敗
#define ERR_ENCRYPT 5063 // 加密失敗
#define ERR_DECRYPT 5064 // 解密失敗
#define ERR_KEYGEN 5065 // 產生金鑰失敗
#define ERR_CERT_DELETE 5066 // 刪除憑證失敗
#define ERR_NO_SIGNER_CERT 5067 // 執行簽章時, 尚未選擇簽章憑證
#define ERR_USER_CANCEL 5070 // 使用者按下"取消"按鈕
#define ERR_PASSWORD 5071 // 密碼錯誤
#define ERR_CERT_CHAIN_NOT_EXIST 5202 // 憑證鏈不存在
#define ERR_P12_EXCHANGE_NOT_EXIST 5400 // 憑證交換檔讀不存在
#define ERR_P12_EXCHANGE_READ 5401 // 憑證交換檔讀取失敗
#define ERR_P12_EXCHANGE_WRITE 5402 // 憑證交換檔寫入失敗
#define ERR_UNICODE 5901 // Unicode 編碼錯誤
#define ERR_FILE_NOT_FOUND 5902 // File Not Found
#define ERR_PATH_NOT_FOUND 5903 // Path Not Found
#define ERR_NETWORK_PATH 5904 // Network path was not found
#define ERR_LOGON 5905 // Unknown logon user name or bad password
#define ERR_PERMISSION 5906 // 使用者權限不足
#define ERR_P12_NOT_LOADED 8706 // P12 檔尚未載入
#define ERR_P12_ALREADY_LOADED 8707 // P12 檔早已載入
#define ERR_CIPHER_ALGORITHM 9001 // 加解密演算法錯誤
#define ERR_CIPHER_FORMAT 9002 // 加解格式錯誤
#define ERR_CIPHER_KEY_LENGTH 9003 // 加解密密碼長度錯誤
#define ERR_CIPHER_ENCRYPT 9004 // 加密錯誤
#define ERR_CIPHER_DECRYPT 9005 // 解密錯誤
#define ERR_CIPHER_NO_CERT 9006 // 解密錯誤, 找不到可用憑證
#define ERR_CRL_SERVICE_NOT_STARTED 25601 // CRL 服務尚未啟動, 無法驗證
#define ERR_CRL_PARAMETER 25602 // CRL 驗證參數錯誤, 無法驗證
#define ERR_CRL_UCA_NOT_EXIST 25603 // UCA 憑證不存在, 無法驗證
#define ERR_CRL_UNAVAILABLE 25616 // CRL 無法取得, 無法驗證
#define ERR_CRL_BAD_FORMAT 25617 // CRL 格式錯誤, 無法驗證
#define ERR_CRL_NOT_FETCHED 25632 // CRL 尚未取得, 無法驗證
