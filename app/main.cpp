// PMV-Host: the QXM300 controller host.
#include "app/HostMain.h"

int main(int argc, char** argv) {
    return pmv::RunHost(argc, argv);
}
