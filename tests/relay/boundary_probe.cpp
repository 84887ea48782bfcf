// Built only by the relay.boundary test, which expects it not to compile:
// the relay's include path reaches the library's header, not the module.
#include "entity/entity.h"
