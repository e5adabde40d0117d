// The card bed as the C++ tests see it: the environment file written by tools/card-bed, and the
// bed's insert/remove commands. The bed itself is started and stopped by the card_bed fixture.
#pragma once

#include <map>
#include <string>

namespace velin::test {

class Card_bed {
public:
    // Reads $CARD_BED_DIR/card-bed.env (CARD_BED_DIR defaults to the build tree's card-bed).
    Card_bed();

    bool running() const;
    std::string env(const std::string& name) const;

    // tools/card-bed with these arguments; a failure fails the calling test.
    void run(const std::string& arguments) const;
    // Puts a card in the reader, taking out whatever was there.
    void insert(int index, const std::string& profile_and_options) const;
    // Takes the card out; an empty reader is fine.
    void empty(int index) const;

    // The card's PIN state file ("pin", "pin_tries", "puk", "puk_tries").
    std::map<std::string, std::string> state(int index, const std::string& profile) const;
    std::string apdu_log(int index) const;
    // The log's commands ("> ") and answers ("< ") only: pcscd powers an idle card down and up
    // by itself, so the control lines ("# power off", "# atr") come and go without any test.
    std::string apdu_exchanges(int index) const;

private:
    std::string _dir;
    std::map<std::string, std::string> _env;
};

} // namespace velin::test
