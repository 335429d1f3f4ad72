// The publisher's keys this build carries (the build's ZIDODIRUV_PUBLIC_KEYS option).
#include "built_in_keys.h"
#include "patchlist/list_signature.h"

const char kBuiltInPublicKeys[] = ZD_BUILT_IN_PUBLIC_KEYS;
