#pragma once
// Windows Sockets started for the life of the owner.
namespace rvo {

class WinsockInit {
public:
    // Starts version major.minor; throws rvo::Exception
    // "Failed to initiate the use of ws2_32.dll." on failure.
    explicit WinsockInit(unsigned char major = 2, unsigned char minor = 0);
    ~WinsockInit();
    WinsockInit(const WinsockInit&) = delete;
    WinsockInit& operator=(const WinsockInit&) = delete;
};

}  // namespace rvo
