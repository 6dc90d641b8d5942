#include "tools/sim/SimPublish.h"

#include <cstdlib>

namespace qxmsim {

std::string DefaultMapPath() {
    return pmv::platform::DeviceMapPath();
}

bool TSimPublication::Publish(const std::string& mapFile, int n, const std::string& device,
                              std::string* error) {
    // The platform works on the file named by PMV_COMMAP.
    ::setenv("PMV_COMMAP", mapFile.c_str(), 1);
    return m_publication.Publish(n, device, error);
}

} // namespace qxmsim
