// Fixed texts shared by the server and its clients. Both sides mix exactly
// these bytes into the login hashes, the session key, the tail-block hash and
// the password scrambler; a client built from the same table interoperates.
#pragma once

#include <string_view>

inline constexpr std::string_view kLogin256Sep = "*z*";
inline constexpr std::string_view kLogin256Prefix = "zf4:";
inline constexpr std::string_view kLogin256Sep2 = "#";
inline constexpr std::string_view kLogin512Sep = "*zelfo8*";
inline constexpr std::string_view kLogin512Prefix = "zf5:";
inline constexpr std::string_view kLogin512Sep6 = "*z512*";
inline constexpr std::string_view kLogin512Sep2 = "*z4*";
inline constexpr std::string_view kLogin512Suffix = "$z$";
inline constexpr std::string_view kEconnSep = "*econ";
inline constexpr std::string_view kEconnHead = "ec";
inline constexpr std::string_view kEconnSep2 = "#";
inline constexpr std::string_view kSessionKeySep = "*k*";
inline constexpr std::string_view kSessionKeySep2 = "#";
inline constexpr std::string_view kPasswordHashText = "zelfo session key.";
inline constexpr std::string_view kTailBlockPrefix = "#Zf ";
inline constexpr std::string_view kTailBlockSuffix = "7Z";
inline constexpr std::string_view kScrambleKey1 = "Zelfo account scramble key one, 48 chars long!!!";
inline constexpr std::string_view kScrambleKey2 = "zelfo-encode-key-2";

// Choices of the server alone. The IPv6 source-address probe connects a
// datagram socket into one of these public networks (no packet is sent);
// GIP6 uses the fixed destination.
inline constexpr std::string_view kProbeNet1 = "2001:4860::/32";
inline constexpr std::string_view kProbeNet2 = "2606:4700::/32";
inline constexpr const char* kProbeAddr = "2001:4860:4860::8888";
// The information page named at the end of the IPv6 address mail.
inline constexpr std::string_view kMailInfoAddress = "https://zelfo.example/ipv6-mail";

static_assert(kScrambleKey1.size() == 48);
static_assert(kScrambleKey2.size() == 18);
static_assert(kPasswordHashText.size() == 18);
