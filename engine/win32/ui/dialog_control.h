#pragma once
// Wrappers of the items of a dialog, attached when the dialog initialises.
#include <windows.h>

#include <string>

namespace rvo {

class DialogControl {
public:
    explicit DialogControl(int id) : id_(id) {}
    virtual ~DialogControl() = default;
    DialogControl(const DialogControl&) = delete;
    DialogControl& operator=(const DialogControl&) = delete;

    // Binds the wrapper to the dialog's item; throws rvo::Exception
    // "Failed to get dialog item" when the dialog has no such item.
    virtual void attach(HWND dialog);
    // The same without the check: a missing item leaves the wrapper unattached.
    bool attachIfPresent(HWND dialog);

    int id() const { return id_; }
    HWND handle() const { return handle_; }

protected:
    int id_;
    HWND handle_ = nullptr;
};

class StaticTextControl : public DialogControl {
public:
    using DialogControl::DialogControl;
    void setText(const std::string& text) const;
};

class ListViewControl : public DialogControl {
public:
    // Registers the list-view class, before any dialog that uses it exists.
    explicit ListViewControl(int id);

    // False when the list refuses the column.
    bool insertColumn(int index, int width, const std::string& title) const;
    // The new row's index, or -1.
    int insertItem(int row, const std::string& text) const;
    void deleteAllItems() const;
    // Off: changes are not painted; on again: the list is repainted once.
    void setRedraw(bool on) const;
    int clientWidth() const;
    int itemCount() const;
    std::string itemText(int row) const;
    int columnCount() const;
};

}  // namespace rvo
