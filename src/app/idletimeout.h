// How long the windows wait at most: IDLETIMEOUT in the settings file's
// [Server] section, whole seconds, read as a client window is made. It bounds
// the wait for the next byte of a transfer and for every reply (the FTP
// client's IdleTimeout, and its ReadTimeout with it), so that a stalled
// network ends a command with a message instead of holding it for ever.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

inline constexpr const char* IdleTimeoutKey = "IDLETIMEOUT";
inline constexpr int32_t DefaultIdleTimeoutSeconds = 60;
// The most seconds that still fit the client's 32-bit milliseconds.
inline constexpr int32_t MaxIdleTimeoutSeconds = 2147483;

// Milliseconds for a setting of whole seconds from 0 (no limit) to
// MaxIdleTimeoutSeconds, in plain decimal digits; a missing or malformed
// value is the default.
int32_t IdleTimeoutFromSetting(const std::optional<std::string>& AValue);
// The time-out in the settings file of this run (the default when none).
int32_t ReadIdleTimeoutSetting();
