// The fuzz programs never ask a name server. A start-up file may name any
// host, and this machine's resolver is somewhere on the network; a fuzz run
// must neither send traffic there nor wait for it. Defined in the program,
// these take the place of the C library's functions for every caller, and
// answer at once that no name exists, as an offline machine would. Dotted
// addresses never get here: they are read without a look-up.

#include <netdb.h>

extern "C" int getaddrinfo(const char* /*name*/, const char* /*service*/, const addrinfo* /*hints*/,
                           addrinfo** result) {
    if (result != nullptr) {
        *result = nullptr;
    }
    return EAI_NONAME;
}

extern "C" hostent* gethostbyname(const char* /*name*/) {
    h_errno = HOST_NOT_FOUND;
    return nullptr;
}
