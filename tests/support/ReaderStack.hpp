#pragma once

// A real card path for the tests: a pcscd of our own with
// vsmartcard's virtual readers, each of which can hold a libcacard soft card
// (tests/support/virtual-card) made from an NSS database; OpenSC's module
// reads them through pcscd like any card.
//
// The pcscd runs in a mount namespace of its own, with a private /run/pcscd
// (where pcscd keeps its pid file and socket; the pcscd of Debian 12 takes no
// other place for them), and its readers listen on ports that were free, so
// that stacks of parallel runs, or a system pcscd, never meet.

#include "support/NssStore.hpp"
#include "support/RunBinary.hpp"
#include "support/Tools.hpp"

#include <sys/types.h>

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace tarvo::test {

// A soft card: an NSS database holding one certificate and its key, locked by
// the card's PIN (the database's password, which the emulation checks the
// card's VERIFY against).
class StackCard {
public:
    StackCard(const Bytes& certificateDER, const Key& key, std::string pin = "1234");
    std::string database() const { return store_.database(); }
    const std::string& pin() const { return pin_; }
    static constexpr const char* nickname = "kart";

private:
    std::string pin_;
    NssStore store_;
};

class ReaderStack {
public:
    // Starts pcscd with this many virtual readers (one or two), all empty. When the stack
    // cannot run here, nothing is started and unavailable() says why.
    explicit ReaderStack(std::size_t readers = 1);
    ~ReaderStack();
    ReaderStack(const ReaderStack&) = delete;
    ReaderStack& operator=(const ReaderStack&) = delete;

    const std::string& unavailable() const { return unavailable_; }
    // What a client of this pcscd needs in its environment.
    Environment environment() const;
    // OpenSC's PKCS#11 module; empty when not installed.
    static std::string openscModule();

    // Puts the card into the reader (taking out the one there) and waits until pcscd has seen it.
    void insert(std::size_t reader, const StackCard& card);
    // Takes the reader's card out, if it holds one, and waits until pcscd has seen it go.
    void remove(std::size_t reader);
    // The reader's card stops answering, yet stays in the reader.
    void hang(std::size_t reader);
    // How many PINs reached the card in the reader since it was put in.
    std::size_t pinTries(std::size_t reader) const;
    // Ends pcscd (the cards go with it).
    void stopDaemon();

private:
    struct Slot;
    // How often pcscd's log has the event ("Card inserted into", "Card Removed From") for the reader.
    std::size_t sightings(const std::string& event, std::size_t reader) const;

    TempDir folder_;
    std::string unavailable_;
    pid_t daemon_ = -1;
    std::vector<std::unique_ptr<Slot>> readers_;
};

}  // namespace tarvo::test
