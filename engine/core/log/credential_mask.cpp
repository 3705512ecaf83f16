#include "engine/core/log/credential_mask.h"

#include <algorithm>
#include <utility>

#include "engine/core/log/log_text.h"

namespace rvo {

namespace {

bool isSeparator(char c) {
    switch (c) {
        case ' ': case '\t': case '\r': case '\n': case '\v': case '\f':
        case '"': case '\'': case '`':
        case '(': case ')': case '[': case ']': case '<': case '>': case '{': case '}':
            return true;
        default:
            return false;
    }
}

bool endsSentence(char c) {
    return c == '.' || c == ',' || c == ';' || c == ':' || c == '!' || c == '?';
}

bool isLetterOrDigit(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'); }

bool boundedBefore(std::string_view text, std::size_t at, std::string_view form) {
    return at == 0 || isSeparator(text[at - 1]) || isSeparator(form.front());
}

bool boundedAfter(std::string_view text, std::size_t end, std::string_view form) {
    if (end == text.size() || isSeparator(text[end]) || isSeparator(form.back())) return true;
    // "... password x." or "x, then": a mark that ends a sentence, not a
    // file extension or the rest of a path.
    return endsSentence(text[end]) && (end + 1 == text.size() || isSeparator(text[end + 1]));
}

std::string_view trimmedBlanks(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
    return text;
}

}  // namespace

CredentialMask::CredentialMask(std::string_view password) {
    addForm(password);
    addForm(trimmedBlanks(password));
}

void CredentialMask::addSentForm(std::string_view form) {
    addForm(form);
    if (form.size() >= 2 && form.front() == '"' && form.back() == '"') addForm(form.substr(1, form.size() - 2));
}

void CredentialMask::addSentCommand(std::string_view prefix, std::string_view credential, std::string_view suffix) {
    if (credential.empty()) return;
    std::string line;
    line.reserve(prefix.size() + credential.size() + suffix.size());
    line.append(prefix).append(credential).append(suffix);
    longest_ = std::max(longest_, line.size());
    commands_.push_back({std::move(line), prefix.size(), credential.size()});
    addSentForm(credential);
}

void CredentialMask::addForm(std::string_view form) {
    if (std::all_of(form.begin(), form.end(), isSeparator)) return;  // the empty form too
    if (std::find(forms_.begin(), forms_.end(), form) != forms_.end()) return;
    longest_ = std::max(longest_, form.size());
    forms_.emplace_back(form);
}

std::string CredentialMask::apply(std::string_view text) const {
    if (empty()) return std::string(text);
    std::vector<std::pair<std::size_t, std::size_t>> spans;  // [begin, end)
    for (const SentCommand& command : commands_) {
        for (std::size_t at = text.find(command.line); at != std::string_view::npos;
             at = text.find(command.line, at + 1)) {
            const std::size_t end = at + command.line.size();
            if (end < text.size() && isLetterOrDigit(text[end])) continue;
            spans.emplace_back(at + command.credentialAt, at + command.credentialAt + command.credentialLength);
        }
    }
    for (const std::string& form : forms_) {
        for (std::size_t at = text.find(form); at != std::string_view::npos; at = text.find(form, at + 1)) {
            const std::size_t end = at + form.size();
            if (boundedBefore(text, at, form) && boundedAfter(text, end, form)) spans.emplace_back(at, end);
        }
    }
    if (spans.empty()) return std::string(text);
    std::sort(spans.begin(), spans.end());
    std::string out;
    out.reserve(text.size());
    std::size_t copied = 0;
    for (std::size_t i = 0; i < spans.size();) {
        const std::size_t begin = spans[i].first;
        std::size_t end = spans[i].second;
        for (++i; i < spans.size() && spans[i].first <= end; ++i) end = std::max(end, spans[i].second);
        out.append(text.substr(copied, begin - copied));
        out.append(kMaskedSecret);
        copied = end;
    }
    out.append(text.substr(copied));
    return out;
}

std::string CredentialMask::applyBounded(std::string_view text, std::size_t limit) const {
    // A place that begins before the cut ends within `longest_` bytes after
    // it; two more bytes decide its boundary. The window's own end counts
    // as the end of the text, which can only mask more.
    const std::string_view window = text.substr(0, std::min(text.size(), limit + longest_ + 2));
    std::string out = apply(window);
    // The mask can be longer than what it hides (a password of one letter
    // becomes ten asterisks), so the bound is applied to the masked text.
    if (text.size() <= limit && out.size() <= limit) return out;
    out.resize(std::min(out.size(), limit));
    out += " ... (" + std::to_string(text.size()) + " bytes in all)";
    return out;
}

}  // namespace rvo
