// A tiny application of the installed library: starts it and uses a few exported classes.
#include <cstdio>

#include "Tarvos/MTInterface.h"
#include "Tarvos/OSServices.h"

int main() {
    Tarvos::OSServices::Init();
    const uint32_t first = Tarvos::MTInterface::GetProcessUniqueID();
    const uint32_t second = Tarvos::MTInterface::GetProcessUniqueID();
    if (first == 0 || second == first) {
        std::puts("unique IDs are wrong");
        return 1;
    }
    std::puts("consumer ok");
    return 0;
}
