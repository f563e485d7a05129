#include "vtoken/control_request.h"

#include <charconv>
#include <vector>

#include "vtoken/bytes.h"

namespace vtoken {

namespace {

std::vector<std::string_view> words(std::string_view line) {
    std::vector<std::string_view> out;
    std::size_t pos = 0;
    while (pos < line.size()) {
        while (pos < line.size() && (line[pos] == ' ' || line[pos] == '\t' || line[pos] == '\r'))
            ++pos;
        std::size_t end = pos;
        while (end < line.size() && line[end] != ' ' && line[end] != '\t' && line[end] != '\r')
            ++end;
        if (end > pos) out.push_back(line.substr(pos, end - pos));
        pos = end;
    }
    return out;
}

std::uint64_t number(std::string_view text, std::uint64_t lowest, std::uint64_t highest,
                     const char* what) {
    std::uint64_t value = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < lowest ||
        value > highest) {
        throw ControlSyntaxError(std::string("bad ") + what + " '" + std::string(text) + "'");
    }
    return value;
}

// Upper-cased so that it compares with the trace's hex.
std::string prefix(std::string_view text) {
    std::string upper;
    for (char c : text) {
        const bool digit = (c >= '0' && c <= '9');
        const bool letter = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
        if (!digit && !letter) {
            throw ControlSyntaxError("bad command prefix '" + std::string(text) + "'");
        }
        upper.push_back(letter && c >= 'a' ? static_cast<char>(c - 'a' + 'A') : c);
    }
    if (upper.empty()) throw ControlSyntaxError("empty command prefix");
    return upper;
}

void expectCount(const std::vector<std::string_view>& w, std::size_t low, std::size_t high) {
    if (w.size() < low || w.size() > high) {
        throw ControlSyntaxError("wrong number of arguments for '" + std::string(w[0]) + "'");
    }
}

// Takes a trailing "at K" off the words: K-1 matching commands pass before the fault hits.
unsigned takeAt(std::vector<std::string_view>& w) {
    if (w.size() < 3 || w[w.size() - 2] != "at") return 1;
    const auto at = static_cast<unsigned>(number(w.back(), 1, 1'000'000'000, "position"));
    w.resize(w.size() - 2);
    return at;
}

}  // namespace

ControlRequest parseControlRequest(std::string_view line) {
    auto w = words(line);
    if (w.empty()) throw ControlSyntaxError("empty request");
    const std::string_view verb = w[0];
    if (verb == "sw") {
        const unsigned at = takeAt(w);
        expectCount(w, 3, 4);
        auto status = fromHex(w[2]);
        if (!status || status->size() != 2) {
            throw ControlSyntaxError("status word must be 4 hex digits");
        }
        control::AnswerWith request{prefix(w[1]), readU16(*status, 0), std::nullopt, {}, at};
        if (w.size() == 4) {
            request.count = static_cast<unsigned>(number(w[3], 1, 1'000'000'000, "count"));
        }
        return request;
    }
    if (verb == "reply") {
        // A whole reply of our choosing: data and status word, e.g. longer than the host asked.
        const unsigned at = takeAt(w);
        expectCount(w, 3, 4);
        auto reply = fromHex(w[2]);
        if (!reply || reply->size() < 2) {
            throw ControlSyntaxError("reply must be hex bytes ending in a status word");
        }
        control::AnswerWith request{prefix(w[1]), readU16(*reply, reply->size() - 2), std::nullopt,
                                    Bytes(reply->begin(), reply->end() - 2), at};
        if (w.size() == 4) {
            request.count = static_cast<unsigned>(number(w[3], 1, 1'000'000'000, "count"));
        }
        return request;
    }
    if (verb == "generation") {
        expectCount(w, 2, 2);
        return control::SetGeneration{static_cast<std::uint8_t>(number(w[1], 1, 2, "generation"))};
    }
    if (verb == "max-block") {
        expectCount(w, 2, 2);
        if (w[1] == "none") return control::SetMaxBlock{std::nullopt};
        return control::SetMaxBlock{
            static_cast<std::uint32_t>(number(w[1], 0, 0xFFFFFFFF, "max-block"))};
    }
    if (verb == "drop-after") {
        const unsigned at = takeAt(w);
        expectCount(w, 2, 2);
        return control::DropAfter{prefix(w[1]), at};
    }
    if (verb == "reinsert") {
        expectCount(w, 1, 1);
        return control::Reinsert{};
    }
    if (verb == "clear") {
        expectCount(w, 1, 1);
        return control::Clear{};
    }
    if (verb == "ping") {
        expectCount(w, 1, 1);
        return control::Ping{};
    }
    throw ControlSyntaxError("unknown request '" + std::string(verb) + "'");
}

}  // namespace vtoken
