#include "tools/sim/SimPublish.h"

#include <cstdlib>

namespace qxmsim {

std::string DefaultMapPath() {
    return pmv::platform::DeviceMapPath();
}

bool TSimPublication::Publish(const std::string& mapFile, int n, const std::string& device,
                              int slaveFd, std::string* error) {
    // The platform works on the file named by PMV_COMMAP.
    ::setenv("PMV_COMMAP", mapFile.c_str(), 1);
    if (!m_publication.Publish(n, device, error))
        return false;
    m_guard = std::make_unique<pmv::platform::TExclusiveFlagGuard>(slaveFd, device);
    return true;
}

} // namespace qxmsim
