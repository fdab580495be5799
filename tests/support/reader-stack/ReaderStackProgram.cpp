// The tests' reader stack (support/ReaderStack) for programs outside the
// tests, such as the benchmark: one virtual reader holding one card made from
// the given certificate and key, locked by the given PIN.
//
//   reader-stack <certificate DER file> <private key PEM file> <pin>
//
// Once the card is in, it prints "module <path>" for OpenSC's module, the
// environment a client of the stack needs as one "environment NAME=value"
// line each, and "ready". The stack stays up until standard input ends; then
// it is taken down. When the stack cannot run here it prints
// "unavailable: <reason>" and ends with status 3.

#include "support/ReaderStack.hpp"
#include "support/TestCertificates.hpp"

#include <openssl/pem.h>

#include <cstdio>
#include <exception>
#include <fstream>
#include <iostream>
#include <iterator>
#include <limits>
#include <memory>

namespace {

tarvo::Bytes fileBytes(const char* path) {
    std::ifstream in(path, std::ios::binary);
    return tarvo::Bytes(std::istreambuf_iterator<char>(in), {});
}

tarvo::test::Key privateKey(const char* path) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path, "r"), &std::fclose);
    EVP_PKEY* key = file ? PEM_read_PrivateKey(file.get(), nullptr, nullptr, nullptr) : nullptr;
    return tarvo::test::Key(key, &EVP_PKEY_free);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: reader-stack <certificate DER file> <private key PEM file> <pin>\n";
        return 2;
    }
    const tarvo::Bytes certificate = fileBytes(argv[1]);
    const tarvo::test::Key key = privateKey(argv[2]);
    if (certificate.empty() || !key) {
        std::cerr << "reader-stack: no certificate or no key\n";
        return 2;
    }
    try {
        tarvo::test::ReaderStack stack;
        if (!stack.unavailable().empty()) {
            std::cout << "unavailable: " << stack.unavailable() << std::endl;
            return 3;
        }
        const tarvo::test::StackCard card(certificate, key, argv[3]);
        stack.insert(0, card);
        std::cout << "module " << tarvo::test::ReaderStack::openscModule() << '\n';
        for (const auto& [name, value] : stack.environment()) {
            std::cout << "environment " << name << '=' << value << '\n';
        }
        std::cout << "ready" << std::endl;
        // Up until our input ends: the caller's end takes the stack down with it.
        std::cin.ignore(std::numeric_limits<std::streamsize>::max());
    } catch (const std::exception& failure) {
        std::cout << "unavailable: " << failure.what() << std::endl;
        return 3;
    }
    return 0;
}
