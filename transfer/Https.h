// HTTPS for the launcher's servers. A download host, mirror or probe address may be given as
// "https://name[:port]" (a plain "name[:port]" keeps meaning "http://"); the server list's
// and the news pages' addresses are whole URLs anyway. libcurl verifies every HTTPS server's
// certificate and name against the system's certificate store, and, when bin\config.ini
// names one, against an extra CA file for private servers. The trust is process-wide, as the
// system store is: set once at start-up, applied to every transfer.
#pragma once

#include <string>
#include <string_view>

namespace lume {

// The scheme and host part of a server's URLs: host itself when it starts with "http://" or
// "https://" (in any case), otherwise "http://" + host.
std::string serverUrl(std::string_view host);

// The extra CA file (PEM, native path; empty: none) trusted besides the system store. Called
// on any thread, before the handles that are to use it make their first transfer (a handle
// that was given the file keeps it).
void setExtraCaFile(std::string nativePath);
std::string extraCaFile();
// Verification of the server's certificate and name (never switched off), and the extra CA
// file when one is set. Called on the transferring thread before each transfer.
void applyTlsTrust(void* curl);

}  // namespace lume
