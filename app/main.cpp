// PMV-Host: the QXM300 controller host.
#include "app/HostApplication.h"

int main(int argc, char** argv) {
    return pmv::RunHost(argc, argv);
}
