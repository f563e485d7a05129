#include "card_config.h"

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <iterator>

#include "platform/loopback_stream.h"
#include "platform/module_path.h"

namespace standin {
namespace {

constexpr const char* kConfigFile = "tarvex-standins.conf";

std::string_view trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t' || s.front() == '\r')) {
        s.remove_prefix(1);
    }
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

std::optional<CardAddress> parseAddress(std::string_view name, std::string_view address) {
    const std::size_t colon = address.rfind(':');
    if (colon == std::string_view::npos) return std::nullopt;
    const std::string_view host = address.substr(0, colon);
    const std::string_view portText = address.substr(colon + 1);
    unsigned port = 0;
    const auto [end, ec] =
        std::from_chars(portText.data(), portText.data() + portText.size(), port);
    if (ec != std::errc{} || end != portText.data() + portText.size() || port == 0 ||
        port > 65535) {
        return std::nullopt;
    }
    if (!platform::loopbackAddress(host)) return std::nullopt;
    if (name.empty() || name.size() > kMaxNameLength) return std::nullopt;
    for (char c : name) {
        if (static_cast<unsigned char>(c) < 0x20) return std::nullopt;
    }
    return CardAddress{std::string(name), std::string(host), static_cast<std::uint16_t>(port)};
}

void append(std::vector<CardAddress>& cards, std::optional<CardAddress> card) {
    if (!card || findCard(cards, card->name)) return;  // the first entry of a name wins
    cards.push_back(std::move(*card));
}

}  // namespace

std::vector<CardAddress> parseCardList(std::string_view text) {
    std::vector<CardAddress> cards;
    while (!text.empty()) {
        const std::size_t end = text.find(';');
        const std::string_view entry = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (entry.empty()) continue;
        const std::size_t equals = entry.find('=');
        if (equals == std::string_view::npos) {
            append(cards, parseAddress("SD" + std::to_string(cards.size()), entry));
        } else {
            append(cards,
                   parseAddress(trim(entry.substr(0, equals)), trim(entry.substr(equals + 1))));
        }
    }
    return cards;
}

std::vector<CardAddress> parseConfigFile(std::string_view text, CardPath path) {
    const std::string_view wanted = path == CardPath::Vendor ? "vendor" : "driver";
    std::vector<CardAddress> cards;
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view{} : text.substr(end + 1);
        if (line.empty() || line.front() == '#') continue;
        // Three words: path, name, address.
        std::string_view words[3];
        int n = 0;
        while (!line.empty() && n < 3) {
            const std::size_t space = line.find_first_of(" \t");
            words[n++] = line.substr(0, space);
            line = space == std::string_view::npos ? std::string_view{} : trim(line.substr(space));
        }
        if (n != 3 || !line.empty() || words[0] != wanted) continue;
        append(cards, parseAddress(words[1], words[2]));
    }
    return cards;
}

std::vector<CardAddress> configuredCards(CardPath path, const void* moduleAddress) {
    const char* variable = path == CardPath::Vendor ? "TARVEX_SD_CARDS" : "TARVEX_SD_DRIVER_CARDS";
    if (const char* value = std::getenv(variable); value != nullptr) return parseCardList(value);
    const std::filesystem::path folder = platform::moduleFolder(moduleAddress);
    if (folder.empty()) return {};
    std::ifstream in(folder / kConfigFile, std::ios::binary);
    if (!in) return {};
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parseConfigFile(text, path);
}

std::optional<CardAddress> findCard(const std::vector<CardAddress>& cards, std::string_view name) {
    for (const CardAddress& c : cards) {
        if (c.name == name) return c;
    }
    return std::nullopt;
}

}  // namespace standin
