// Test-only stand-in for a token command: what it prints and how it ends
// are chosen by its first argument, so the runner's tests need no shell.
//   lines-lf / lines-crlf  a token, then more lines
//   cr-cr-lf               a token ended by CR CR LF, as a text-mode "\r\n" comes out
//   args                   its argument count and each argument in brackets, on one line
//   nothing                prints nothing
//   empty-first            an empty first line, a token on the second
//   no-newline             a token without a line break
//   exit <n>               a token, then exit code n
//   hang                   prints nothing and never ends
//   token-then-hang        a token line, then never ends
//   long <n>               n letters on one line
//   flood                  a token line, then 4 MB more, then ends
//   stderr                 text on standard error, then a token on standard output
//   control                a first line with a control character in it
//   stdin                  reads its standard input to the end, then prints a token
//   handle <n>             "inherited" when handle value n is a signalled object here, else "not-inherited"
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <cstdlib>
#include <string>

int main(int argc, char** argv) {
    // The bytes as written: no CR added before each LF.
    _setmode(_fileno(stdout), _O_BINARY);
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "lines-lf") std::fputs("  tok-123.abc_XYZ \nsecond line\nthird\n", stdout);
    if (mode == "cr-cr-lf") std::fputs("tok-cr-cr-lf\r\r\nsecond\r\r\n", stdout);
    if (mode == "lines-crlf") std::fputs("tok-123.abc_XYZ\r\nsecond line\r\n", stdout);
    if (mode == "args") {
        std::printf("%d", argc - 2);
        for (int i = 2; i < argc; ++i) std::printf("[%s]", argv[i]);
        std::printf("\n");
    }
    if (mode == "empty-first") std::fputs("\r\ntok-on-second\r\n", stdout);
    if (mode == "no-newline") std::fputs("tok-without-newline", stdout);
    if (mode == "exit") {
        std::fputs("tok-before-exit\n", stdout);
        std::fflush(stdout);
        return argc > 2 ? std::atoi(argv[2]) : 1;
    }
    if (mode == "hang") Sleep(INFINITE);
    if (mode == "token-then-hang") {
        std::fputs("tok-then-hang\n", stdout);
        std::fflush(stdout);
        Sleep(INFINITE);
    }
    if (mode == "long" && argc > 2) std::fputs((std::string(std::atoi(argv[2]), 'a') + "\n").c_str(), stdout);
    if (mode == "flood") {
        std::fputs("tok-flood\n", stdout);
        const std::string more(1023, 'x');
        for (int i = 0; i < 4096; ++i) std::printf("%s\n", more.c_str());
    }
    if (mode == "stderr") {
        std::fputs("a warning on standard error\n", stderr);
        std::fflush(stderr);
        std::fputs("tok-stdout\n", stdout);
    }
    if (mode == "control") std::fputs("tok\x01with-control\n", stdout);
    if (mode == "stdin") {
        while (std::fgetc(stdin) != EOF) {
        }
        std::fputs("tok-after-stdin\n", stdout);
    }
    if (mode == "handle" && argc > 2) {
        const auto h = reinterpret_cast<HANDLE>(static_cast<ULONG_PTR>(std::strtoull(argv[2], nullptr, 10)));
        std::fputs(WaitForSingleObject(h, 0) == WAIT_OBJECT_0 ? "inherited\n" : "not-inherited\n", stdout);
    }
    std::fflush(stdout);
    return 0;
}
