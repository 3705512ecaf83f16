#include "engine/win32/ui/dialog_control.h"

#include <commctrl.h>

#include <vector>

#include "engine/win32/log/system_error.h"

namespace rvo {

void DialogControl::attach(HWND dialog) {
    handle_ = GetDlgItem(dialog, id_);
    if (!handle_) throwSystemError(GetLastError(), "Failed to get dialog item");
}

bool DialogControl::attachIfPresent(HWND dialog) {
    handle_ = GetDlgItem(dialog, id_);
    return handle_ != nullptr;
}

void StaticTextControl::setText(const std::string& text) const { SetWindowTextA(handle_, text.c_str()); }

ListViewControl::ListViewControl(int id) : DialogControl(id) {
    INITCOMMONCONTROLSEX init{};
    init.dwSize = sizeof init;
    init.dwICC = ICC_LISTVIEW_CLASSES;
    InitCommonControlsEx(&init);
}

bool ListViewControl::insertColumn(int index, int width, const std::string& title) const {
    LVCOLUMNA column{};
    column.mask = LVCF_WIDTH | LVCF_TEXT;
    column.cx = width;
    column.pszText = const_cast<char*>(title.c_str());
    return SendMessageA(handle_, LVM_INSERTCOLUMNA, static_cast<WPARAM>(index),
                        reinterpret_cast<LPARAM>(&column)) != -1;
}

int ListViewControl::insertItem(int row, const std::string& text) const {
    LVITEMA item{};
    item.mask = LVIF_TEXT;
    item.iItem = row;
    item.pszText = const_cast<char*>(text.c_str());
    return static_cast<int>(SendMessageA(handle_, LVM_INSERTITEMA, 0, reinterpret_cast<LPARAM>(&item)));
}

void ListViewControl::deleteAllItems() const { SendMessageA(handle_, LVM_DELETEALLITEMS, 0, 0); }

void ListViewControl::setRedraw(bool on) const {
    SendMessageA(handle_, WM_SETREDRAW, on ? TRUE : FALSE, 0);
    if (on) InvalidateRect(handle_, nullptr, TRUE);
}

int ListViewControl::clientWidth() const {
    RECT rect{};
    GetClientRect(handle_, &rect);
    return rect.right;
}

int ListViewControl::itemCount() const {
    return static_cast<int>(SendMessageA(handle_, LVM_GETITEMCOUNT, 0, 0));
}

std::string ListViewControl::itemText(int row) const {
    std::vector<char> buffer(1024, '\0');
    LVITEMA item{};
    item.iSubItem = 0;
    item.pszText = buffer.data();
    item.cchTextMax = static_cast<int>(buffer.size());
    SendMessageA(handle_, LVM_GETITEMTEXTA, static_cast<WPARAM>(row), reinterpret_cast<LPARAM>(&item));
    return std::string(buffer.data());
}

int ListViewControl::columnCount() const {
    HWND header = reinterpret_cast<HWND>(SendMessageA(handle_, LVM_GETHEADER, 0, 0));
    return header ? static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
}

}  // namespace rvo
