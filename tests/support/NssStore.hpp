#pragma once

// A throwaway NSS certificate database in a temporary home folder, laid out
// where the helper looks for the user's store ($HOME/.pki/nssdb), filled with
// the NSS command-line tools the way a user would fill it.

#include "support/TestCertificates.hpp"
#include "support/Tools.hpp"

#include <filesystem>
#include <string>
#include <vector>

namespace tarvo::test {

class NssStore {
public:
    // An empty database, locked by the password unless that is empty.
    explicit NssStore(std::string password = {});

    const std::filesystem::path& home() const { return home_.path(); }
    // The database as the NSS tools name it ("sql:" and its folder).
    std::string database() const;

    // The certificate with its private key, through a PKCS#12 file made with OpenSSL.
    void importIdentity(const Bytes& certificateDER, const Key& key, const std::string& nickname) const;
    // A certificate alone: in the store, but not an identity.
    void importCertificate(const Bytes& certificateDER, const std::string& nickname) const;
    // Deletes the private key of an identity, leaving its certificate.
    void deleteKey(const std::string& nickname) const;
    // Registers a PKCS#11 module with the database, as a browser's set-up does;
    // the environment is what the module needs to find its tokens.
    void registerModule(const std::string& name, const std::string& library,
                        const std::vector<std::string>& environment) const;

private:
    // The tools' option that hands them the database password, followed by its file.
    std::vector<std::string> withPassword(const std::string& option, std::vector<std::string> argv) const;

    TempDir home_;
    TempDir work_;  // PKCS#12 and DER files on their way in, and the password file
    std::string password_;
};

}  // namespace tarvo::test
