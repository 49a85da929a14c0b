// What the daemon reads out of networksetup's answers. These are pure
// functions over the text the tool printed, kept apart from running the tool
// so that odd output (any bytes at all) can be exercised on its own.
// Thread-safe: no state.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace zelvo::host {

// True when `text` is strict UTF-8: no overlong forms, no surrogates, nothing
// past U+10FFFF. Output that is not valid text is treated as no output.
bool isValidUtf8(std::string_view text);

// The enabled services of a "-listallnetworkservices" answer, in order: each
// line trimmed of spaces and tabs; empty lines, lines marked "*" (disabled)
// and the header line ("An asterisk ...", any case) are left out.
std::vector<std::string> parseNetworkServiceList(std::string_view text);

// True when a "-getwebproxy" answer shows an enabled proxy on this machine:
// "Enabled: Yes" together with "127.0.0.1" or "localhost" (any case).
bool showsEnabledLocalWebProxy(std::string_view text);

}  // namespace zelvo::host
