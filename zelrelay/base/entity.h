// Entity identifiers as the relay reads and writes them, and request matching.
#pragma once

#include <string>
#include <string_view>

#include "zelrelay.h"

// The identifier grammar: c<klass>t<type>[v<major>[.<minor>[.<build>[.<revision>]]]] then l/p/r/o fields.
bool ParseIdentifier(std::string_view text, ZELRELAY_EntityItem &entity);
// "c%dt%dv%d.%s.%dl%dp%dr%do%d", minor as four digits: the repository's key for an entity.
std::string ExtractName(const ZELRELAY_EntityItem &entity);
// The same, written into buffer, for a reader that compares before it keeps.
inline constexpr size_t kNameBuffer = 160;
std::string_view ExtractNameInto(const ZELRELAY_EntityItem &entity, char (&buffer)[kNameBuffer]);
// As few fields as say the same: "c3t4", "c3t4v1.0500.3", "c3t4l1"; a
// request as its author would have written it.
std::string ShortName(const ZELRELAY_EntityItem &entity);
// "c%dt%dl%dp%dr%do%d": an entity without its version.
std::string ComponentName(const ZELRELAY_EntityItem &entity);

bool IsPatternEntity(const ZELRELAY_EntityItem &entity);
// Versions compare by major, then minor, then build; the revision plays no part.
bool IsNewer(const ZEL_Version &a, const ZEL_Version &than);
bool SameVersion(const ZEL_Version &a, const ZEL_Version &b);
// A request matches on klass and type; -1 qualifiers and a 0.0.0 version match anything.
bool RequestMatches(const ZELRELAY_EntityItem &request, const ZELRELAY_EntityItem &entity);
