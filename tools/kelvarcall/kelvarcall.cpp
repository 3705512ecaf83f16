// kelvarcall: loads kelvar.dll as a setup wizard does and calls its exports
// from a prompt or a script, printing each result.
//
//   kelvarcall [--dll=PATH] CALL [+ CALL ...]
//   CALL: imap DEST SERVER USER PASSWORD PORT EXCLUDED MAPPING CREATEEMPTY MIGRATEDELETED MARKDELETED EXCLUDECONTAINED
//         pop3 DEST SERVER USER PASSWORD PORT
//         folders SERVER PORT USER PASSWORD
//         test HOST PORT
//         line PATH NUMBER
//         reload                     (unloads the library and loads it again)
//
// The calls run one after another in one process, on the main thread, with
// the library loaded once (LoadLibraryA("kelvar.dll"), or PATH) and every
// export looked up by name. Each call prints "<export> returned <n>" (and
// its out texts). A call that leaves the stack unbalanced (a calling
// convention that does not match kelvar.h) ends the program with code 3.
// The out buffers have exactly the sizes kelvar.h states and end where a
// no-access page begins: an export that writes one byte past them ends the
// program with an access violation instead of corrupting it quietly, and
// one that leaves a text without its NUL ends it with code 3. A fault ends
// it with code 4.
// Exit code: 0 after the calls, 2 for a usage or loading error.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "library/kelvar.h"

namespace {

// The prototypes of kelvar.h, as a wizard declares its function pointers.
using ImapCall = decltype(&IMap2XRV);
using Pop3Call = decltype(&Pop32XRV);
using FoldersCall = decltype(&GetFolders);
using TestCall = decltype(&TestConnection);
using LineCall = decltype(&GetLine);

struct Library {
    HMODULE module = nullptr;
    ImapCall imap = nullptr;
    Pop3Call pop3 = nullptr;
    FoldersCall folders = nullptr;
    TestCall test = nullptr;
    LineCall line = nullptr;
};

template <typename T>
bool lookUp(HMODULE module, const char* name, T& target) {
    target = reinterpret_cast<T>(reinterpret_cast<void*>(GetProcAddress(module, name)));
    if (!target) std::fprintf(stderr, "kelvarcall: kelvar.dll has no export %s\n", name);
    return target != nullptr;
}

bool load(Library& lib, const char* path) {
    lib.module = LoadLibraryA(path);
    if (!lib.module) {
        std::fprintf(stderr, "kelvarcall: cannot load %s (error %lu)\n", path, GetLastError());
        return false;
    }
    return lookUp(lib.module, "IMap2XRV", lib.imap) & lookUp(lib.module, "Pop32XRV", lib.pop3) &
           lookUp(lib.module, "GetFolders", lib.folders) & lookUp(lib.module, "TestConnection", lib.test) &
           lookUp(lib.module, "GetLine", lib.line);
}

void unload(Library& lib) {
    if (lib.module) FreeLibrary(lib.module);
    lib = Library{};
}

// Calls `f` and checks that the callee removed exactly its arguments.
template <typename F, typename... Args>
__attribute__((noinline)) int checkedCall(const char* name, F f, Args... args) {
#if defined(__i386__)
    unsigned long before = 0;
    unsigned long after = 0;
    asm volatile("movl %%esp, %0" : "=r"(before));
    const int result = f(args...);
    asm volatile("movl %%esp, %0" : "=r"(after));
    if (before != after) {
        std::fprintf(stderr, "kelvarcall: %s left the stack off by %ld bytes\n", name,
                     static_cast<long>(after) - static_cast<long>(before));
        std::fflush(nullptr);
        std::exit(3);
    }
    return result;
#else
    (void)name;
    return f(args...);
#endif
}

// `size` bytes, zeroed, ending exactly where a no-access page begins.
class GuardedBuffer {
public:
    explicit GuardedBuffer(std::size_t size) : size_(size) {
        SYSTEM_INFO system;
        GetSystemInfo(&system);
        const std::size_t page = system.dwPageSize;
        const std::size_t pages = (size + page - 1) / page + 1;
        base_ = static_cast<char*>(VirtualAlloc(nullptr, pages * page, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE));
        DWORD previous = 0;
        if (!base_ || !VirtualProtect(base_ + (pages - 1) * page, page, PAGE_NOACCESS, &previous)) {
            std::fprintf(stderr, "kelvarcall: cannot set up a guarded buffer (error %lu)\n", GetLastError());
            std::exit(2);
        }
        data_ = base_ + (pages - 1) * page - size;
    }
    ~GuardedBuffer() { VirtualFree(base_, 0, MEM_RELEASE); }
    GuardedBuffer(const GuardedBuffer&) = delete;
    GuardedBuffer& operator=(const GuardedBuffer&) = delete;

    char* data() const { return data_; }
    // The text up to its NUL; a buffer without one ends the program.
    std::string text(const char* what) const {
        const std::size_t n = strnlen(data_, size_);
        if (n == size_) {
            std::fprintf(stderr, "kelvarcall: %s has no NUL within its %lu bytes\n", what,
                         static_cast<unsigned long>(size_));
            std::fflush(nullptr);
            std::exit(3);
        }
        return std::string(data_, n);
    }

private:
    std::size_t size_;
    char* base_ = nullptr;
    char* data_ = nullptr;
};

// An export that faults (a write past a guarded buffer) ends the program at
// once with code 4 and the fault's code, not with the system's crash dialog.
LONG WINAPI reportFault(EXCEPTION_POINTERS* fault) {
    std::fprintf(stderr, "kelvarcall: exception 0x%08lx at %p\n",
                 static_cast<unsigned long>(fault->ExceptionRecord->ExceptionCode),
                 fault->ExceptionRecord->ExceptionAddress);
    std::fflush(nullptr);
    ExitProcess(4);
}

int number(const char* text) { return static_cast<int>(std::strtol(text, nullptr, 10)); }

void usage() {
    std::fprintf(stderr,
                 "usage: kelvarcall [--dll=PATH] CALL [+ CALL ...]\n"
                 "  imap DEST SERVER USER PASSWORD PORT EXCLUDED MAPPING CREATEEMPTY MIGRATEDELETED MARKDELETED "
                 "EXCLUDECONTAINED\n"
                 "  pop3 DEST SERVER USER PASSWORD PORT\n"
                 "  folders SERVER PORT USER PASSWORD\n"
                 "  test HOST PORT\n"
                 "  line PATH NUMBER\n"
                 "  reload\n");
}

// One call; false for a malformed one.
bool run(Library& lib, const char* path, const std::vector<char*>& a) {
    const std::string what = a.empty() ? "" : a[0];
    const std::size_t n = a.size() - 1;
    if (what == "imap" && n == 11) {
        const int r = checkedCall("IMap2XRV", lib.imap, a[1], a[2], a[3], a[4], number(a[5]), a[6], a[7],
                                  number(a[8]), number(a[9]), number(a[10]), number(a[11]));
        std::printf("IMap2XRV returned %d\n", r);
    } else if (what == "pop3" && n == 5) {
        const int r = checkedCall("Pop32XRV", lib.pop3, a[1], a[2], a[3], a[4], number(a[5]));
        std::printf("Pop32XRV returned %d\n", r);
    } else if (what == "folders" && n == 4) {
        const GuardedBuffer folders(KELVAR_FOLDER_LIST_BYTES);
        const GuardedBuffer error(256);
        const int r = checkedCall("GetFolders", lib.folders, a[1], number(a[2]), a[3], a[4], folders.data(),
                                  error.data());
        std::printf("GetFolders returned %d\nfolders: %s\nerror: %s\n", r, folders.text("folderList").c_str(),
                    error.text("errorText").c_str());
    } else if (what == "test" && n == 2) {
        const int r = checkedCall("TestConnection", lib.test, a[1], number(a[2]));
        std::printf("TestConnection returned %d\n", r);
    } else if (what == "line" && n == 2) {
        const GuardedBuffer text(1024);
        const int r = checkedCall("GetLine", lib.line, a[1], number(a[2]), text.data());
        std::printf("GetLine returned %d\nline: %s\n", r, text.text("lineText").c_str());
    } else if (what == "reload" && n == 0) {
        unload(lib);
        if (!load(lib, path)) std::exit(2);
        std::printf("reloaded\n");
    } else {
        return false;
    }
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    SetUnhandledExceptionFilter(reportFault);
    const char* path = "kelvar.dll";
    int first = 1;
    if (argc > 1 && std::strncmp(argv[1], "--dll=", 6) == 0) {
        path = argv[1] + 6;
        first = 2;
    }
    std::vector<std::vector<char*>> calls(1);
    for (int i = first; i < argc; ++i) {
        if (std::strcmp(argv[i], "+") == 0)
            calls.emplace_back();
        else
            calls.back().push_back(argv[i]);
    }
    for (const auto& call : calls) {
        if (call.empty()) {
            usage();
            return 2;
        }
    }
    Library lib;
    if (!load(lib, path)) return 2;
    for (const auto& call : calls) {
        if (!run(lib, path, call)) {
            usage();
            unload(lib);
            return 2;
        }
    }
    unload(lib);
    return 0;
}
