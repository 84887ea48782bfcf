// Friendly names of the components scripts ask for by name.
#include "entity/entity.h"

struct FriendlyName {
  int32_t klass;
  int32_t type;
  bool anyLanguage;
  int32_t language;
  const char *name;
};

// First match wins: a type's language rows come before its catch-all row.
static const FriendlyName kFriendlyNames[] = {
    {3, 0x00000004, false, 1, "pelno_english"},
    {3, 0x00000004, false, 2, "pelno_china"},
    {3, 0x00000004, false, 4, "pelno_japan"},
    {3, 0x00000004, true, 0, "pelno_unknown"},
    {3, 0x00000800, true, 0, "scrubo"},
    {3, 0x20000001, true, 0, "yarp"},
    {3, 0x20000020, true, 0, "gorsel_white"},
    {3, 0x20000040, true, 0, "gorsel_black"},
    {3, 0x20000400, true, 0, "pelno_spyware"},
    {3, 0x40000010, true, 0, "drovo"},
    {3, 0x40800000, true, 0, "brolt_white_list"},
    {3, 0x48008000, false, 1, "tamri_english"},
    {3, 0x48008000, false, 2, "tamri_china"},
    {3, 0x48008000, false, 4, "tamri_japan"},
    {3, 0x48008000, true, 0, "tamri_unknown"},
    {3, 0x48040066, true, 0, "tarnip"},
    {22, 0x000008A5, true, 0, "kvem"},
};

const char *EntityFriendlyName(const ZELRELAY_EntityItem &entity) {
  for (const FriendlyName &row : kFriendlyNames)
    if (row.klass == entity.klass && row.type == entity.type && (row.anyLanguage || row.language == entity.language))
      return row.name;
  return nullptr;
}
