#include "cli/driver.h"

int main(int argc, char** argv) {
    return zelv::zelvanor_main(argc, argv);
}
