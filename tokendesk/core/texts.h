// The tool's own texts, as UTF-8. Tree and window texts that the selection rules compare with
// are among them, so that the rules and the window use the very same strings.
#ifndef TOKENDESK_TEXTS_H
#define TOKENDESK_TEXTS_H

namespace tokendesk::text {

inline constexpr char kMainCaption[] = "USBKey用户工具";
inline constexpr char kAdminToolCaption[] = "USBKey管理员工具";
inline constexpr char kAdminToolRunning[] = "USBKey管理员工具正在运行，请退出后再运行用户工具！";
inline constexpr char kTrayTip[] = "Tarvex智能密码钥匙管理工具";

inline constexpr char kCaptionNotice[] = "提示";
inline constexpr char kCaptionError[] = "错误";

// Tree texts.
inline constexpr char kNoKey[] = "Key不存在";
inline constexpr char kUnformatted[] = "未格式化设备";
inline constexpr char kEncryptionCertificate[] = "加密证书";
inline constexpr char kEncryptionKeyPair[] = "加密密钥";
inline constexpr char kSignatureCertificate[] = "签名证书";
inline constexpr char kSignatureKeyPair[] = "签名密钥";

// Selection rules.
inline constexpr char kSelectKey[] = "请在列表中选择需要操作的Key！";
inline constexpr char kKeyUnformatted[] = "选定的Key可能尚未格式化，请选择其他Key！";
inline constexpr char kKeyUnreachable[] = "选定的Key无法访问，请尝试刷新！";

// Certificate registration.
inline constexpr char kContainerUnreachable[] = "选定的容器无法访问，请尝试刷新！";
inline constexpr char kSelectCertificate[] = "请选择需要注册的证书后重试操作！";
inline constexpr char kRegistrationDone[] = "注册证书完成！";

// PIN dialogs and their results.
inline constexpr char kPinEmpty[] = "口令不能为空，请重新输入！";
inline constexpr char kCurrentPinEmpty[] = "原口令不能为空，请重新输入！";
inline constexpr char kPinsDiffer[] = "两次输入的口令不一致，请重新输入！";
inline constexpr char kNewPinEmpty[] = "新口令不能为空，请重新输入！";
inline constexpr char kVerifyDone[] = "验证口令成功！";
inline constexpr char kVerifyWrong[] = "验证口令失败，还可以重试%d次！";
inline constexpr char kVerifyFailed[] = "验证口令失败！";
inline constexpr char kChangeDone[] = "修改口令成功，请牢记新口令！";
inline constexpr char kChangeWrong[] = "验证原口令失败，还可以重试%d次！";
inline constexpr char kChangeFailed[] = "修改口令失败！";
inline constexpr char kPinLocked[] = "错误次数太多，口令已经锁死，请联系管理员解锁！";

// The provider that serves the keys of registered certificates.
inline constexpr char kProviderName[] = "Tarvex Cryptographic Provider v1.0";

}  // namespace tokendesk::text

#endif
