#pragma once
// What keeps the account's password out of the log. A log line is masked
// where the password stands in a form the session sent it in, and nowhere
// else: replacing every occurrence of its text would garble ordinary words
// and paths (a password "x" turns "next" into "ne**********t") and would tell
// a reader the password by the gaps it leaves.
//
// Two rules, both on the bytes of the line as the server or the program
// wrote them:
//  - the echo of a command the session sent with the password in it (the
//    exact wire text of LOGIN, PASS, ...) has the credential's place masked,
//    whatever precedes it and unless a letter or digit follows at once (then
//    it is a longer word that only begins like the command);
//  - each form of the password (as typed, and every form it went out in:
//    an IMAP quoted string with its escapes, a SASL answer) is masked where
//    it stands as a whole token: bounded on each side by the start or end of
//    the text, white space, a quoting or bracketing character, or, after it,
//    a punctuation mark that ends a sentence (". " or a final "."). A form
//    that itself begins or ends with such a character needs no boundary on
//    that side (a quoted string closes itself).
// A form made of nothing but those characters (a password of one blank) is
// never masked as a token: it cannot be told from the text around it.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace rvo {

class CredentialMask {
public:
    // Masks nothing.
    CredentialMask() = default;
    // The password as typed, also without its leading and trailing blanks
    // (a server may echo the trimmed value). An empty password masks nothing.
    explicit CredentialMask(std::string_view password);

    // A form the password was sent in. A quoted form ("...") also masks its
    // inside, the escaped text without the quotes.
    void addSentForm(std::string_view form);
    // A command line as sent, without its line end: prefix + credential +
    // suffix. The credential is also added as a sent form.
    void addSentCommand(std::string_view prefix, std::string_view credential, std::string_view suffix = {});

    bool empty() const { return forms_.empty() && commands_.empty(); }

    // The text with every place found by the two rules replaced by
    // kMaskedSecret (overlapping and adjacent places become one).
    std::string apply(std::string_view text) const;
    // The masked text cut as boundedLogText cuts it (the note gives the
    // length as received). Only what is kept is looked at, and everything
    // kept is masked before it is cut, so a form cut in half never shows.
    std::string applyBounded(std::string_view text, std::size_t limit) const;

private:
    struct SentCommand {
        std::string line;
        std::size_t credentialAt;
        std::size_t credentialLength;
    };
    void addForm(std::string_view form);

    std::vector<std::string> forms_;
    std::vector<SentCommand> commands_;
    std::size_t longest_ = 0;  // of the forms and command lines
};

}  // namespace rvo
