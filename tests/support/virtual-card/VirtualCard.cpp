// A smart card for the tests, in a virtual reader: connects to vsmartcard's
// vpcd reader driver (inside pcscd) and answers it with libcacard's soft CAC
// emulation, which keeps its certificates and keys in an NSS database.
//
//   virtual-card <port> <nss database> <certificate nickname>
//
// The reader's protocol: every message, both ways, is a two-byte big-endian
// length and that many bytes. A one-byte message from the reader is a
// command (0 power off, 1 power on, 2 reset, 4 send the ATR); anything longer
// is a command APDU, answered with the response APDU.
//
// The card is in the reader while this program runs; ending it takes the card
// out. Standard input controls it: "hang" stops answering the reader (the
// card goes silent, yet stays in the reader); its end ends the program.
// Standard output gets "pin tried" for every VERIFY that carries a PIN, so
// that a test sees which card a login reached.

#include <libcacard.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr const char* readerName = "tarvo-virtual-reader";

// vpcd writes a message's length and its bytes apart; acknowledging at once
// spares each of them the 40 ms that a delayed acknowledgement (meeting
// Nagle's wait on the other side) would cost, which adds up to seconds over
// the hundreds of APDUs that reading a certificate takes.
void acknowledgeAtOnce(int fd) {
    const int on = 1;
    ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

bool readExactly(int fd, unsigned char* into, std::size_t size) {
    while (size > 0) {
        const ssize_t got = ::read(fd, into, size);
        if (got <= 0) {
            return false;
        }
        acknowledgeAtOnce(fd);
        into += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool send(int fd, const unsigned char* data, std::size_t size) {
    std::vector<unsigned char> message{static_cast<unsigned char>(size >> 8), static_cast<unsigned char>(size)};
    message.insert(message.end(), data, data + size);
    std::size_t sent = 0;
    while (sent < message.size()) {
        const ssize_t n = ::write(fd, message.data() + sent, message.size() - sent);
        if (n <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(n);
    }
    return true;
}

// vpcd listens once pcscd has loaded it; the card may be put in before that.
int connectToReader(int port) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<std::uint16_t>(port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            const int on = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
            return fd;
        }
        ::close(fd);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

VReader* emulatedReader(const std::string& database, const std::string& nickname) {
    const std::string options = "db=\"" + database + "\" use_hw=no soft=(," + std::string(readerName) + ",CAC,," +
                                nickname + ")";
    VCardEmulOptions* parsed = vcard_emul_options(options.c_str());
    if (parsed == nullptr || vcard_emul_init(parsed) != VCARD_EMUL_OK) {
        return nullptr;
    }
    return vreader_get_reader_by_name(readerName);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: virtual-card <port> <nss database> <certificate nickname>\n");
        return 2;
    }
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    VReader* reader = emulatedReader(argv[2], argv[3]);
    if (reader == nullptr) {
        std::fprintf(stderr, "virtual-card: the emulation did not start\n");
        return 1;
    }
    const int fd = connectToReader(std::atoi(argv[1]));
    if (fd < 0) {
        std::fprintf(stderr, "virtual-card: no reader on port %s\n", argv[1]);
        return 1;
    }
    std::array<unsigned char, 64> atrBuffer{};
    int atrLength = atrBuffer.size();
    vreader_power_on(reader, atrBuffer.data(), &atrLength);
    const std::vector<unsigned char> atr(atrBuffer.begin(), atrBuffer.begin() + atrLength);
    bool answering = true;
    for (;;) {
        std::array<pollfd, 2> watched{{{STDIN_FILENO, POLLIN, 0}, {fd, static_cast<short>(answering ? POLLIN : 0), 0}}};
        if (::poll(watched.data(), watched.size(), -1) < 0) {
            continue;
        }
        if (watched[0].revents != 0) {
            std::array<char, 64> line{};
            const ssize_t got = ::read(STDIN_FILENO, line.data(), line.size() - 1);
            if (got <= 0) {
                break;
            }
            if (std::string(line.data()).starts_with("hang")) {
                answering = false;
            }
            continue;
        }
        if (watched[1].revents == 0) {
            continue;
        }
        std::array<unsigned char, 2> header{};
        if (!readExactly(fd, header.data(), header.size())) {
            break;
        }
        std::vector<unsigned char> request((std::size_t{header[0]} << 8) | header[1]);
        if (!readExactly(fd, request.data(), request.size())) {
            break;
        }
        if (request.size() == 1) {
            switch (request[0]) {
                case 0:
                    vreader_power_off(reader);
                    break;
                case 1:
                case 2:
                    vreader_power_off(reader);
                    vreader_power_on(reader, nullptr, nullptr);
                    break;
                case 4:
                    // Only the ATR: vpcd asks for it every few hundred
                    // milliseconds to see that the card is still there, in
                    // the middle of other clients' transactions, so it must
                    // not reset the card (that would deselect the applet
                    // being read and log the card out).
                    if (!send(fd, atr.data(), atr.size())) {
                        return 1;
                    }
                    break;
                default:
                    break;
            }
            continue;
        }
        constexpr unsigned char verify = 0x20;
        if (request.size() > 5 && request[1] == verify) {
            std::printf("pin tried\n");
        }
        std::array<unsigned char, 4096> response{};
        int responseLength = response.size();
        if (vreader_xfr_bytes(reader, request.data(), static_cast<int>(request.size()), response.data(),
                              &responseLength) != VREADER_OK) {
            responseLength = 2;
            response[0] = 0x6F;  // no precise diagnosis
            response[1] = 0x00;
        }
        if (!send(fd, response.data(), static_cast<std::size_t>(responseLength))) {
            break;
        }
    }
    ::close(fd);
    return 0;
}
