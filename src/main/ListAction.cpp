#include "main/ListAction.hpp"

#include "certificate/CertificateJSON.hpp"
#include "platform/system/ForeignFaultAnswer.hpp"
#include "platform/vocabulary/HelperError.hpp"
#include "platform/vocabulary/Messages.hpp"

#include <exception>
#include <optional>
#include <string_view>
#include <unordered_set>

namespace tarvo {

namespace {

// Text that lives as long as the program, since every entry list refers to its label.
const std::string keychainProviderLabel = messages::provider::store;
const std::string cardProviderLabel = messages::provider::card;

// The entries of one provider, written out as each record comes, so that
// neither the records nor object trees of their entries pile up.
class EntryList {
public:
    explicit EntryList(const std::string& label) : label_(label) {}

    void add(const CertificateRecord& record) {
        const auto text = serializeJSON(objectOf(certificateJSON(record, label_)));
        if (!text) {
            writable_ = false;
            return;
        }
        if (!json_.empty()) {
            json_ += ',';
        }
        json_ += *text;
    }

    bool writable() const { return writable_; }
    const std::string& json() const { return json_; }

private:
    // The agent tells the providers apart by this label, so it must stay as it
    // is even though the store here is not the one the label names.
    const std::string& label_;
    std::string json_;
    bool writable_ = true;
};

// A text that is not UTF-8 cannot be written in any answer; the whole answer
// then gives way to the error document, as it would as one object tree.
JsonValue certificates(const EntryList& store, const EntryList* card) {
    if (!store.writable() || (card != nullptr && !card->writable())) {
        throw HelperError(messages::request::unserialisable);
    }
    std::string json;
    json.reserve(store.json().size() + (card != nullptr ? card->json().size() : 0) + 3);
    json += '[';
    json += store.json();
    if (card != nullptr && !card->json().empty()) {
        if (!store.json().empty()) {
            json += ',';
        }
        json += card->json();
    }
    json += ']';
    return JsonText{std::move(json)};
}

}  // namespace

JsonObject listAnswer(const KeychainProvider& keychain, const CardProvider& card) {
    std::unordered_set<std::string> listed;
    EntryList store(keychainProviderLabel);
    keychain.keychainRecords([&](const CertificateRecord& record) {
        listed.insert(record.fingerprint);
        store.add(record);
    });

    // A certificate that the store also reaches (through the token) is the
    // store's; one the card holds twice is reported where it first appears.
    EntryList cardEntries(cardProviderLabel);
    // A module that crashes or hangs cannot be unwound from, so the answer
    // it would leave, the store's entries with its fault as the warning, is
    // made before the card is touched.
    std::optional<platform::ForeignFaultStandIn> withoutCard;
    std::optional<std::string> document;
    if (store.writable()) {
        document = serializeJSON({{"certificates", certificates(store, nullptr)}, {"warning", std::string()}});
    }
    if (document) {
        // The warning comes last and is empty here: the message goes between its quotes.
        constexpr std::string_view afterOpeningQuote = "\"}";
        document->resize(document->size() - afterOpeningQuote.size());
        withoutCard.emplace(std::move(*document), "\"}\n");
    }
    try {
        card.cardCertificates([&](const CardCertificate& certificate) {
            if (listed.insert(certificate.record.fingerprint).second) {
                cardEntries.add(certificate.record);
            }
        });
    } catch (const std::exception& error) {
        // An unreadable card must not hide what the store offers.
        return {{"certificates", certificates(store, nullptr)}, {"warning", std::string(error.what())}};
    }
    return {{"certificates", certificates(store, &cardEntries)}};
}

}  // namespace tarvo
