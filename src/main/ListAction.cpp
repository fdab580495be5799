#include "main/Actions.hpp"

#include "certificate/CertificateText.hpp"

#include <exception>

namespace tarvo {

namespace {

JsonObject entry(const CertificateRecord& record) {
    // The agent tells the providers apart by this label, so it must stay as it is
    // even though the store here is not the one the label names.
    const std::string& label = record.identity ? keychainProviderLabel : cardProviderLabel;
    JsonObject object;
    for (auto& [key, value] : certificateJSON(record, label)) {
        object.emplace(key, value);
    }
    return object;
}

JsonList entries(const std::vector<const CertificateRecord*>& records) {
    JsonList list;
    list.reserve(records.size());
    for (const auto* record : records) {
        list.push_back(entry(*record));
    }
    return list;
}

}  // namespace

JsonObject listAnswer(const std::vector<CertificateRecord>& keychainRecords, const Providers& providers) {
    std::vector<const CertificateRecord*> merged;
    for (const auto& record : keychainRecords) {
        merged.push_back(&record);
    }

    std::vector<CardCertificate> card;
    try {
        card = providers.cardCertificates();
    } catch (const std::exception& error) {
        // An unreadable card must not hide what the store offers.
        return {{"certificates", entries(merged)}, {"warning", std::string(error.what())}};
    }

    // A certificate that the store also reaches (through the token) is the
    // store's; one the card holds twice is reported where it first appears.
    for (const auto& cardCertificate : card) {
        const auto& fingerprint = cardCertificate.record.fingerprint;
        bool known = false;
        for (const auto* record : merged) {
            known = known || record->fingerprint == fingerprint;
        }
        if (!known) {
            merged.push_back(&cardCertificate.record);
        }
    }
    return {{"certificates", entries(merged)}};
}

}  // namespace tarvo
