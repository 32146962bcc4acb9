#include "config/service_settings.h"

namespace plotspool {

GlobalSettings ServiceSettings;

}  // namespace plotspool
