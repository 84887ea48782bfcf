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
    {ZELRELAY_CLASS_PATTERN, ZELRELAY_TYPE_PELNO, false, 1, "pelno_english"},
    {ZELRELAY_CLASS_PATTERN, ZELRELAY_TYPE_PELNO, false, 2, "pelno_china"},
    {ZELRELAY_CLASS_PATTERN, ZELRELAY_TYPE_PELNO, false, 4, "pelno_japan"},
    {ZELRELAY_CLASS_PATTERN, ZELRELAY_TYPE_PELNO, true, 0, "pelno_unknown"},
    {ZELRELAY_CLASS_PATTERN, 0x00000800, true, 0, "scrubo"},
    {ZELRELAY_CLASS_PATTERN, 0x20000001, true, 0, "yarp"},
    {ZELRELAY_CLASS_PATTERN, 0x20000020, true, 0, "gorsel_white"},
    {ZELRELAY_CLASS_PATTERN, 0x20000040, true, 0, "gorsel_black"},
    {ZELRELAY_CLASS_PATTERN, 0x20000400, true, 0, "pelno_spyware"},
    {ZELRELAY_CLASS_PATTERN, 0x40000010, true, 0, "drovo"},
    {ZELRELAY_CLASS_PATTERN, 0x40800000, true, 0, "brolt_white_list"},
    {ZELRELAY_CLASS_PATTERN, 0x48008000, false, 1, "tamri_english"},
    {ZELRELAY_CLASS_PATTERN, 0x48008000, false, 2, "tamri_china"},
    {ZELRELAY_CLASS_PATTERN, 0x48008000, false, 4, "tamri_japan"},
    {ZELRELAY_CLASS_PATTERN, 0x48008000, true, 0, "tamri_unknown"},
    {ZELRELAY_CLASS_PATTERN, 0x48040066, true, 0, "tarnip"},
    {ZELRELAY_CLASS_KVEM, ZELRELAY_TYPE_KVEM, true, 0, "kvem"},
};

const char *EntityFriendlyName(const ZELRELAY_EntityItem &entity) {
  for (const FriendlyName &row : kFriendlyNames)
    if (row.klass == entity.klass && row.type == entity.type && (row.anyLanguage || row.language == entity.language))
      return row.name;
  return nullptr;
}
