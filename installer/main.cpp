#include "install_update.h"

int main(int argc, char** argv) {
    return install_update(argc, argv);
}
