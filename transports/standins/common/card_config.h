// Which virtual cards a stand-in library offers: names and loopback addresses, read afresh at
// every listing so that tests and the demo can add and remove cards while a process runs.
//
// From the environment variable of the library (TARVEX_SD_CARDS for Tarvex_W, the vendor path;
// TARVEX_SD_DRIVER_CARDS for CCWinDriver, the driver path):
//     NAME=HOST:PORT;NAME=HOST:PORT      (NAME= may be left out: the card is then "SD<n>")
// When the variable is not set at all, from the file "tarvex-standins.conf" beside the library:
//     # comment
//     vendor NAME HOST:PORT
//     driver NAME HOST:PORT
// Nothing configured means no card. HOST must be a loopback address; entries that are not
// well-formed are skipped.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace standin {

struct CardAddress {
    std::string name;
    std::string host;
    std::uint16_t port = 0;
};

enum class CardPath { Vendor, Driver };

// Names are kept short enough for every list the libraries hand out.
inline constexpr std::size_t kMaxNameLength = 63;

std::vector<CardAddress> parseCardList(std::string_view text);
std::vector<CardAddress> parseConfigFile(std::string_view text, CardPath path);

// The configured cards of that path; `moduleAddress` is any address inside the library, to
// find the file beside it.
std::vector<CardAddress> configuredCards(CardPath path, const void* moduleAddress);

std::optional<CardAddress> findCard(const std::vector<CardAddress>& cards, std::string_view name);

}  // namespace standin
