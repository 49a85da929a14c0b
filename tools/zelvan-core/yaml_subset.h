// A small, forgiving reader for the subset of YAML that proxy configurations
// use: block mappings and sequences by indentation, "- key: value" items,
// flow collections on one line ({a: b}, [a, b]), single- and double-quoted
// scalars, comments, and literal/folded block scalars. Anchors are dropped,
// aliases stay plain text. Anything it does not understand is skipped rather
// than rejected: the kernel only needs a few keys out of a configuration.
// Pure function; thread-safe.
#pragma once

#include <nlohmann/json.hpp>
#include <string_view>

namespace zelvan {

// Returns the document as JSON (plain scalars become integers, booleans or
// null where they spell one), or null when the top level is not a mapping.
nlohmann::json parseYamlSubset(std::string_view text);

}  // namespace zelvan
