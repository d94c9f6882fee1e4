#include "srec/record_format.h"

namespace zelv {

unsigned srec_address_bytes(char type) {
    switch (type) {
        case '0':
        case '1':
        case '5':
        case '9':
            return 2;
        case '2':
        case '8':
            return 3;
        case '3':
        case '7':
            return 4;
        default:
            return 0;
    }
}

}  // namespace zelv
