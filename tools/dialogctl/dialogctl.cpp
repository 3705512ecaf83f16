// dialogctl: finds a top-level window by a part of its title and inspects or
// drives it, the way a user would, from another process.
//   dialogctl wait    TITLE [seconds]   waits until such a window exists, prints its title
//   dialogctl inspect TITLE             prints the title, each child (id, class, text) and list columns/rows
//   dialogctl close   TITLE             posts WM_CLOSE
//   dialogctl sysclose TITLE            posts WM_SYSCOMMAND SC_CLOSE, as the close box does
//   dialogctl command TITLE ID          posts WM_COMMAND with the control id
//   dialogctl key     TITLE VK          sends a key press to the dialog's focused control (27 = Escape)
//   dialogctl list    -                 prints the titles of all visible top-level windows
// Exit code 0 on success, 2 when no window matches.
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

struct Search {
    const char* part;
    HWND found;
};

BOOL CALLBACK matchTitle(HWND window, LPARAM param) {
    auto* search = reinterpret_cast<Search*>(param);
    char title[512] = {};
    GetWindowTextA(window, title, sizeof title);
    if (std::strstr(title, search->part) && IsWindowVisible(window)) {
        search->found = window;
        return FALSE;
    }
    return TRUE;
}

BOOL CALLBACK printTitle(HWND window, LPARAM) {
    char title[512] = {};
    GetWindowTextA(window, title, sizeof title);
    if (IsWindowVisible(window)) std::printf("window %s\n", title);
    return TRUE;
}

HWND findWindow(const char* part) {
    Search search{part, nullptr};
    EnumWindows(matchTitle, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// List-view records carry pointers, so they must live in the list's own process.
class RemoteBuffer {
public:
    RemoteBuffer(HWND window, SIZE_T size) : size_(size) {
        DWORD pid = 0;
        GetWindowThreadProcessId(window, &pid);
        process_ = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
        if (process_) memory_ = static_cast<char*>(VirtualAllocEx(process_, nullptr, size, MEM_COMMIT, PAGE_READWRITE));
    }
    ~RemoteBuffer() {
        if (memory_) VirtualFreeEx(process_, memory_, 0, MEM_RELEASE);
        if (process_) CloseHandle(process_);
    }
    RemoteBuffer(const RemoteBuffer&) = delete;
    RemoteBuffer& operator=(const RemoteBuffer&) = delete;
    void* address() const { return memory_; }
    char* text() const { return memory_ ? memory_ + 1024 : nullptr; }
    void put(const void* record, SIZE_T size) {
        const char zero[1024] = {};
        if (!memory_) return;
        WriteProcessMemory(process_, text(), zero, sizeof zero, nullptr);
        WriteProcessMemory(process_, memory_, record, size, nullptr);
    }
    std::string readText() const {
        char buffer[1025] = {};
        if (memory_) ReadProcessMemory(process_, text(), buffer, 1024, nullptr);
        return buffer;
    }

private:
    SIZE_T size_;
    HANDLE process_ = nullptr;
    char* memory_ = nullptr;
};

BOOL CALLBACK printChild(HWND child, LPARAM) {
    char cls[128] = {};
    char text[1024] = {};
    GetClassNameA(child, cls, sizeof cls);
    GetWindowTextA(child, text, sizeof text);
    std::string shown;
    for (const char* p = text; *p; ++p) shown += (*p == '\n') ? std::string("\\n") : std::string(1, *p);
    std::printf("child id=%d class=%s text=%s\n", GetDlgCtrlID(child), cls, shown.c_str());
    if (_stricmp(cls, "SysListView32") == 0) {
        HWND header = reinterpret_cast<HWND>(SendMessageA(child, LVM_GETHEADER, 0, 0));
        const int columns = header ? static_cast<int>(SendMessageA(header, HDM_GETITEMCOUNT, 0, 0)) : 0;
        RemoteBuffer remote(child, 2048);
        for (int i = 0; i < columns; ++i) {
            LVCOLUMNA column{};
            column.mask = LVCF_TEXT;
            column.pszText = remote.text();
            column.cchTextMax = 1024;
            remote.put(&column, sizeof column);
            SendMessageA(child, LVM_GETCOLUMNA, i, reinterpret_cast<LPARAM>(remote.address()));
            std::printf("column %d=%s\n", i, remote.readText().c_str());
        }
        const int rows = static_cast<int>(SendMessageA(child, LVM_GETITEMCOUNT, 0, 0));
        std::printf("rows=%d\n", rows);
        for (int i = 0; i < rows; ++i) {
            LVITEMA item{};
            item.pszText = remote.text();
            item.cchTextMax = 1024;
            remote.put(&item, sizeof item);
            SendMessageA(child, LVM_GETITEMTEXTA, i, reinterpret_cast<LPARAM>(remote.address()));
            std::printf("row %d=%s\n", i, remote.readText().c_str());
        }
    }
    return TRUE;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: dialogctl wait|inspect|close|sysclose|command|key TITLE [ARG]\n");
        return 1;
    }
    const std::string verb = argv[1];
    const char* title = argv[2];
    if (verb == "wait") {
        const int seconds = argc > 3 ? std::atoi(argv[3]) : 30;
        for (int i = 0; i < seconds * 10; ++i) {
            if (HWND w = findWindow(title)) {
                char text[512] = {};
                GetWindowTextA(w, text, sizeof text);
                std::printf("%s\n", text);
                return 0;
            }
            Sleep(100);
        }
        return 2;
    }
    if (verb == "list") {
        EnumWindows(printTitle, 0);
        return 0;
    }
    HWND window = findWindow(title);
    if (!window) return 2;
    if (verb == "inspect") {
        char text[512] = {};
        GetWindowTextA(window, text, sizeof text);
        std::printf("title=%s\n", text);
        EnumChildWindows(window, printChild, 0);
    } else if (verb == "close") {
        PostMessageA(window, WM_CLOSE, 0, 0);
    } else if (verb == "sysclose") {
        PostMessageA(window, WM_SYSCOMMAND, SC_CLOSE, 0);
    } else if (verb == "command" && argc > 3) {
        PostMessageA(window, WM_COMMAND, MAKEWPARAM(std::atoi(argv[3]), BN_CLICKED), 0);
    } else if (verb == "key" && argc > 3) {
        const WPARAM vk = static_cast<WPARAM>(std::atoi(argv[3]));
        HWND target = GetDlgItem(window, 1000) ? GetDlgItem(window, 1000) : window;
        PostMessageA(target, WM_KEYDOWN, vk, 1);
        PostMessageA(target, WM_KEYUP, vk, 0xC0000001);
    } else {
        std::fprintf(stderr, "dialogctl: unknown verb %s\n", verb.c_str());
        return 1;
    }
    return 0;
}
