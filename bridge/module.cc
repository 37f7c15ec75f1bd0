// Module registration. The natives are added as the core lands.
#include "bridge/host.h"

namespace {

napi_value Export(napi_env /*env*/, napi_value exports) { return exports; }

napi_module g_module = {
    1, 0, nullptr, Export, "QuonRiskComm-v4_9_2r_a07c3e51", nullptr, {nullptr}};

__attribute__((constructor)) void RegisterModule() { napi_module_register(&g_module); }

}  // namespace
