#include "main_dialog.h"

#include <string>

#include "about_dialog.h"
#include "cert_store.h"
#include "pin_dialogs.h"
#include "registration_plan.h"
#include "resource.h"
#include "texts.h"
#include "wide_text.h"

namespace tokendesk {

namespace {

constexpr int kImageKey = 0;
constexpr int kImageContainer = 1;
constexpr int kImageCertificate = 2;
constexpr int kImageKeyPair = 3;

void registerAll(const std::vector<CertificateRef>& certificates) {
    for (const CertificateRef& ref : certificates) {
        RegisterCertificate(ref.container->name, ref.der, ref.keySpec);
    }
}

std::wstring itemText(HWND tree, HTREEITEM item) {
    wchar_t buffer[260] = {};
    TVITEMW data{};
    data.mask = TVIF_TEXT;
    data.hItem = item;
    data.pszText = buffer;
    data.cchTextMax = static_cast<int>(std::size(buffer));
    TreeView_GetItem(tree, &data);
    return buffer;
}

ItemCode itemCode(HWND tree, HTREEITEM item) {
    TVITEMW data{};
    data.mask = TVIF_PARAM;
    data.hItem = item;
    if (!TreeView_GetItem(tree, &data)) return 0;
    return static_cast<ItemCode>(data.lParam);
}

}  // namespace

CTokenDeskDlg::CTokenDeskDlg(KeyAccess& keys, bool startVisible)
    : CDialog(IDD_TOKENDESK_DIALOG, nullptr),
      devices_(keys),
      keys_(keys),
      visible_(startVisible),
      tray_(TRAY_ICON_ID) {}

CTokenDeskDlg::~CTokenDeskDlg() {
    if (images_ != nullptr) ImageList_Destroy(images_);
}

BOOL CTokenDeskDlg::OnInitDialog() {
    const HINSTANCE instance = GetModuleHandleW(nullptr);
    visibility_.HookWindow(window());

    if (HMENU system = GetSystemMenu(window(), FALSE)) {
        wchar_t about[128] = {};
        if (LoadStringW(instance, IDS_ABOUTBOX, about, static_cast<int>(std::size(about))) > 0) {
            AppendMenuW(system, MF_SEPARATOR, 0, nullptr);
            AppendMenuW(system, MF_STRING, IDM_ABOUTBOX, about);
        }
    }
    icon_ =
        static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON,
                                      GetSystemMetrics(SM_CXICON), GetSystemMetrics(SM_CYICON), 0));
    smallIcon_ = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(IDI_PROGRAM), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), 0));
    SendMessageW(window(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon_));
    SendMessageW(window(), WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(smallIcon_));

    // The tray icon comes with the window, before the keys are read.
    tray_.SetNotificationWindow(window());
    tray_.SetIcon(smallIcon_, fromUtf8(text::kTrayTip).c_str());

    tree_ = GetDlgItem(window(), IDC_TREE);
    BuildImageList();
    FullBuild(true);
    return TRUE;
}

void CTokenDeskDlg::BuildImageList() {
    images_ = ImageList_Create(16, 16, ILC_COLOR8 | ILC_MASK, 4, 0);
    if (images_ == nullptr) return;
    const HBITMAP strip = static_cast<HBITMAP>(LoadImageW(GetModuleHandleW(nullptr),
                                                          MAKEINTRESOURCEW(IDB_TREE_IMAGES),
                                                          IMAGE_BITMAP, 0, 0, LR_CREATEDIBSECTION));
    if (strip != nullptr) {
        ImageList_AddMasked(images_, strip, RGB(255, 255, 255));
        DeleteObject(strip);
    }
    TreeView_SetImageList(tree_, images_, TVSIL_NORMAL);
}

HTREEITEM CTokenDeskDlg::InsertItem(HTREEITEM parent, const std::wstring& text, int image,
                                    LPARAM code) {
    TVINSERTSTRUCTW insert{};
    insert.hParent = parent;
    insert.hInsertAfter = TVI_LAST;
    insert.item.mask = TVIF_TEXT | TVIF_IMAGE | TVIF_SELECTEDIMAGE | TVIF_PARAM;
    insert.item.pszText = const_cast<wchar_t*>(text.c_str());
    insert.item.iImage = image;
    insert.item.iSelectedImage = image;
    insert.item.lParam = code;
    return TreeView_InsertItem(tree_, &insert);
}

void CTokenDeskDlg::InsertPlaceholder() {
    InsertItem(TVI_ROOT, fromUtf8(text::kNoKey), kImageKey, 0);
}

void CTokenDeskDlg::FullBuild(bool registerCertificates) {
    TreeView_DeleteAllItems(tree_);
    devices_.rebuild();
    if (devices_.entries().empty()) {
        InsertPlaceholder();
        return;
    }
    for (const DeviceEntry& device : devices_.entries()) {
        InsertDevice(device, registerCertificates);
    }
}

void CTokenDeskDlg::InsertDevice(const DeviceEntry& device, bool registerCertificates) {
    const HTREEITEM key =
        InsertItem(TVI_ROOT, fromCodePage936(device.label), kImageKey, keyCode(device.id));
    int position = 0;
    for (const ContainerEntry& container : device.containers) {
        const auto code = containerCode(device.id, ++position);
        if (!code) break;
        const HTREEITEM node =
            InsertItem(key, fromCodePage936(container.name), kImageContainer, *code);
        struct Leaf {
            bool present;
            LeafKind kind;
            const char* text;
            int image;
        };
        const Leaf leaves[] = {
            {container.hasEncryptionCertificate, LeafKind::EncryptionCertificate,
             text::kEncryptionCertificate, kImageCertificate},
            {container.hasEncryptionKeyPair, LeafKind::EncryptionKeyPair, text::kEncryptionKeyPair,
             kImageKeyPair},
            {container.hasSignatureCertificate, LeafKind::SignatureCertificate,
             text::kSignatureCertificate, kImageCertificate},
            {container.hasSignatureKeyPair, LeafKind::SignatureKeyPair, text::kSignatureKeyPair,
             kImageKeyPair},
        };
        for (const Leaf& leaf : leaves) {
            if (!leaf.present) continue;
            InsertItem(node, fromUtf8(leaf.text), leaf.image, leafCode(*code, leaf.kind));
            if (!registerCertificates) continue;
            if (leaf.kind == LeafKind::EncryptionCertificate) {
                RegisterCertificate(container.name, container.encryptionCertificate,
                                    KeySpec::Exchange);
            } else if (leaf.kind == LeafKind::SignatureCertificate) {
                RegisterCertificate(container.name, container.signatureCertificate,
                                    KeySpec::Signature);
            }
        }
        TreeView_Expand(tree_, node, TVE_EXPAND);
    }
    TreeView_Expand(tree_, key, TVE_EXPAND);
}

void CTokenDeskDlg::OnDeviceChange() {
    const bool wasEmpty = devices_.entries().empty();
    DeviceList::Change change = devices_.deviceChanged();
    if (change.kind == DeviceList::Change::Kind::Removed) {
        for (const CertificateRef& ref : deviceCertificates(change.entry)) {
            RemoveCertificate(ref.der);
        }
        for (HTREEITEM item = TreeView_GetRoot(tree_); item != nullptr;
             item = TreeView_GetNextSibling(tree_, item)) {
            if (itemCode(tree_, item) == keyCode(change.entry.id)) {
                TreeView_DeleteItem(tree_, item);
                break;
            }
        }
        if (TreeView_GetRoot(tree_) == nullptr) {
            InsertPlaceholder();
            ClearDeviceFields();
        }
    } else if (change.kind == DeviceList::Change::Kind::Added) {
        if (wasEmpty) TreeView_DeleteAllItems(tree_);
        InsertDevice(devices_.entries().back(), true);
    }
}

void CTokenDeskDlg::ClearDeviceFields() {
    SetDlgItemTextW(window(), IDC_LABEL, L"");
    SetDlgItemTextW(window(), IDC_SERIAL, L"");
}

void CTokenDeskDlg::ShowDeviceOf(HTREEITEM item) {
    if (item == nullptr) return;
    const DeviceEntry* device = findDevice(devices_.entries(), itemCode(tree_, item));
    if (device == nullptr) return;
    SetDlgItemTextW(window(), IDC_LABEL, fromCodePage936(device->label).c_str());
    SetDlgItemTextW(window(), IDC_SERIAL, fromCodePage936(device->serial).c_str());
}

const DeviceEntry* CTokenDeskDlg::GuardSelection(ItemCode& code) {
    const HTREEITEM item = TreeView_GetSelection(tree_);
    SelectedItem selected;
    if (item != nullptr) {
        selected.present = true;
        selected.topLevel = TreeView_GetParent(tree_, item) == nullptr;
        selected.text = toUtf8(itemText(tree_, item));
        selected.code = itemCode(tree_, item);
    }
    const DeviceEntry* device = findDevice(devices_.entries(), selected.code);
    const GuardVerdict verdict = guardSelection(selected, device != nullptr);
    if (verdict != GuardVerdict::Proceed) {
        ShowNotice(guardNotice(verdict));
        return nullptr;
    }
    code = selected.code;
    return device;
}

void CTokenDeskDlg::OnRegister() {
    ItemCode code = 0;
    const DeviceEntry* device = GuardSelection(code);
    if (device == nullptr) return;
    const RegistrationPlan plan = planRegistration(*device, code);
    registerAll(plan.certificates);
    ShowNotice(plan.notice);
}

void CTokenDeskDlg::OnVerifyPin() {
    ItemCode code = 0;
    const DeviceEntry* device = GuardSelection(code);
    if (device == nullptr) return;
    CDlgVerifyPIN dialog(window());
    if (dialog.DoModal() != IDOK) return;
    std::uint32_t retries = 0;
    const std::int32_t result = keys_.verifyPin(device->handle, dialog.pin().bytes(), retries);
    std::string message;
    ShowNotice(
        pinResultNotice(PinCommand::Verify, static_cast<std::uint32_t>(result), retries, message));
}

void CTokenDeskDlg::OnChangePin() {
    ItemCode code = 0;
    const DeviceEntry* device = GuardSelection(code);
    if (device == nullptr) return;
    CDlgChangePIN dialog(window());
    if (dialog.DoModal() != IDOK) return;
    std::uint32_t retries = 0;
    const std::int32_t result = keys_.changePin(device->handle, dialog.currentPin().bytes(),
                                                dialog.newPin().bytes(), retries);
    std::string message;
    ShowNotice(
        pinResultNotice(PinCommand::Change, static_cast<std::uint32_t>(result), retries, message));
}

void CTokenDeskDlg::OnTreeDoubleClick() {
    const HTREEITEM item = TreeView_GetSelection(tree_);
    if (item == nullptr) return;
    const ItemCode code = itemCode(tree_, item);
    const DeviceEntry* device = findDevice(devices_.entries(), code);
    if (device == nullptr) return;
    ShowDeviceOf(item);
    const DecodedItem decoded = decodeItem(code);
    if (decoded.node != NodeKind::Leaf) return;
    const ContainerEntry* container = findContainer(*device, code);
    if (container == nullptr) return;
    if (decoded.leaf == LeafKind::EncryptionCertificate && container->hasEncryptionCertificate) {
        ViewCertificate(container->encryptionCertificate);
    } else if (decoded.leaf == LeafKind::SignatureCertificate &&
               container->hasSignatureCertificate) {
        ViewCertificate(container->signatureCertificate);
    }
}

void CTokenDeskDlg::ShowMainWindow() {
    visible_ = true;
    ShowWindow(window(), SW_SHOW);
    SetForegroundWindow(window());
}

void CTokenDeskDlg::HideMainWindow() {
    visible_ = false;
    ShowWindow(window(), SW_HIDE);
}

void CTokenDeskDlg::Exit() {
    devices_.clear();
    tray_.SetIcon(nullptr, nullptr);
    EndDialog(window(), IDCANCEL);
}

void CTokenDeskDlg::OnCancel() {
    Exit();
}

bool CTokenDeskDlg::OnMessage(UINT message, WPARAM wParam, LPARAM lParam, LRESULT& result) {
    switch (message) {
        case WM_COMMAND:
            switch (LOWORD(wParam)) {
                case IDC_REFRESH:
                    FullBuild(false);
                    ClearDeviceFields();
                    return true;
                case IDC_REGISTER:
                    OnRegister();
                    return true;
                case IDC_VERIFY_PIN:
                    OnVerifyPin();
                    return true;
                case IDC_CHANGE_PIN:
                    OnChangePin();
                    return true;
                case ID_EXIT:
                    Exit();
                    return true;
                case ID_SHOW_MAIN_WINDOW:
                    ShowMainWindow();
                    return true;
                default:
                    return false;
            }
        case WM_CLOSE:
            HideMainWindow();
            return true;
        case WM_DEVICECHANGE:
            OnDeviceChange();
            result = TRUE;
            return true;
        case WM_SYSCOMMAND:
            if ((wParam & 0xFFF0) == IDM_ABOUTBOX) {
                CAboutDlg(window()).DoModal();
                return true;
            }
            return false;
        case WM_NOTIFY: {
            const auto* header = reinterpret_cast<const NMHDR*>(lParam);
            if (header->idFrom != IDC_TREE) return false;
            if (header->code == TVN_SELCHANGEDW) {
                ShowDeviceOf(reinterpret_cast<const NMTREEVIEWW*>(lParam)->itemNew.hItem);
                result = 0;
                return true;
            }
            if (header->code == NM_DBLCLK) {
                OnTreeDoubleClick();
                result = 0;
                return true;
            }
            return false;
        }
        case WM_QUERYDRAGICON:
            result = reinterpret_cast<LRESULT>(icon_);
            return true;
        default:
            return false;
    }
}

LRESULT CTokenDeskDlg::CVisibilityHook::WindowProc(UINT message, WPARAM wParam, LPARAM lParam) {
    // The modal loop shows the dialog once it is idle; while the window is to stay hidden
    // ("-s", or closed into the tray) no one may show it but the tool itself.
    if (message == WM_WINDOWPOSCHANGING && !dialog_.visible_) {
        reinterpret_cast<WINDOWPOS*>(lParam)->flags &= ~SWP_SHOWWINDOW;
    }
    return CSubclassWnd::WindowProc(message, wParam, lParam);
}

}  // namespace tokendesk
