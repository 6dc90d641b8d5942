#include "tools/sim/SimPublish.h"

#include "platform/DeviceMap.h"

#include <cstdlib>

namespace qxmsim {

namespace {

// The platform functions work on the file named by PMV_COMMAP.
void UseMapFile(const std::string& mapFile) {
    ::setenv("PMV_COMMAP", mapFile.c_str(), 1);
}

} // namespace

std::string DefaultMapPath() {
    return pmv::platform::DeviceMapPath();
}

bool PublishPort(const std::string& mapFile, int n, const std::string& device, std::string* error) {
    UseMapFile(mapFile);
    return pmv::platform::SetDeviceMapOverride(n, device, error);
}

bool UnpublishPort(const std::string& mapFile, int n, const std::string& device,
                   std::string* error) {
    UseMapFile(mapFile);
    if (pmv::platform::ResolveComPort(n) != device)
        return true; // no longer ours
    return pmv::platform::RemoveDeviceMapOverride(n, error);
}

} // namespace qxmsim
