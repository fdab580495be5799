#pragma once

// Every text the helper shows to people, in one place. The robot and the
// people behind it match on these exact bytes, so they are never built from
// pieces elsewhere: a prefix here is followed only by a return code ("0x%lx"),
// a module path, an entry-point name or the program's version.
// docs/protocol.md documents each one, and a test holds it to that.

namespace tarvo::messages {

// Reading the request and writing the answer.
namespace request {
inline constexpr const char* unreadable = "İstek okunamadı";
inline constexpr const char* unknownAction = "Bilinmeyen işlem";
inline constexpr const char* unserialisable = "JSON yanıtı oluşturulamadı";
inline constexpr const char* invalidChallenge = "İmza isteği geçersiz";
inline constexpr const char* noFingerprint = "E-imza sertifikası seçilmemiş";
inline constexpr const char* unreadableDigestInfo = "İmza girdisi okunamadı";
}  // namespace request

// The labels of the two providers in a listing ("providerName").
namespace provider {
inline constexpr const char* store = "macOS Keychain/CryptoTokenKit";
inline constexpr const char* card = "AKİS PKCS#11";
}  // namespace provider

// Signing with a key of the user's certificate store.
namespace store {
inline constexpr const char* noPrivateKey = "Kartın özel anahtarı açılamadı";
inline constexpr const char* noSupportedAlgorithm = "Kart bu imza algoritmalarından birini desteklemiyor";
inline constexpr const char* signingFailed = "Kart imzası tamamlanamadı";
inline constexpr const char* wrongSecret =
    "Sertifika deposu PIN/parola doğrulaması başarısız; otomatik tekrar yapılmadı";
inline constexpr const char* notResponding = "Sertifika deposu yanıt vermiyor";
}  // namespace store

// The PKCS#11 module and the card behind it.
namespace card {
// Followed by the module path.
inline constexpr const char* moduleNotLoaded = "Kütüphane yüklenemedi: ";
// Followed by the entry point's name.
inline constexpr const char* entryPointMissing = "AKİS PKCS#11 işlevi bulunamadı: ";
// Followed by a return code.
inline constexpr const char* initializeFailed = "AKİS PKCS#11 başlatılamadı: ";
inline constexpr const char* slotListFailed = "AKİS kart yuvaları okunamadı: ";
inline constexpr const char* sessionFailed = "AKİS kart oturumu açılamadı: ";
inline constexpr const char* objectSearchFailed = "AKİS kart nesneleri aranamadı: ";
inline constexpr const char* objectReadFailed = "AKİS kart nesneleri okunamadı: ";

inline constexpr const char* moduleCrashed = "AKİS PKCS#11 modülü çöktü";
inline constexpr const char* notResponding = "AKİS kartı yanıt vermiyor";
inline constexpr const char* pinLocked = "AKİS kartının PIN’i kilitli; imza denenmedi";
inline constexpr const char* finalTry =
    "AKİS kartında son PIN deneme hakkı kaldı; kart kilitlenmesin diye PIN denenmedi";

// Choosing and signing with the document certificate, PIN from the robot.
namespace document {
inline constexpr const char* noCertificate = "Kartta sertifika bulunamadı.";
inline constexpr const char* notDigestInfo = "İmza girdisi SHA-256 DigestInfo değil";
inline constexpr const char* emptyPin = "PIN boş — robot ayarlarında eimzaPin yok.";
inline constexpr const char* noPublicKey = "Sertifikanın açık anahtarı okunamadı";
inline constexpr const char* noToken = "Takılı token yok — kartı takın.";
inline constexpr const char* wrongPin = "PIN HATALI — kart kilitlenmesin diye DURULDU.";
inline constexpr const char* pinBlocked = "PIN KİLİTLİ — PUK/blokaj kaldırma gerekir.";
inline constexpr const char* noKey = "Kartta imza anahtarı bulunamadı.";
inline constexpr const char* notVerified = "Kart imzası sertifikanın açık anahtarıyla doğrulanamadı";
// Followed by a return code, after a single space.
inline constexpr const char* loginFailed = "C_Login ";
inline constexpr const char* signInitFailed = "C_SignInit ";
inline constexpr const char* signatureLengthFailed = "C_Sign(len) ";
inline constexpr const char* signFailed = "C_Sign ";
}  // namespace document

// Signing a challenge, PIN from the dialog.
namespace challenge {
inline constexpr const char* noCertificate = "AKİS kartında seçilen geçerli sertifika bulunamadı";
inline constexpr const char* noKeyId = "AKİS kartında sertifika ile eşleşen anahtar kimliği yok";
inline constexpr const char* notRSA = "Bu deneme yalnızca doğrulanan RSA sertifikasını destekliyor";
inline constexpr const char* noCard = "AKİS kartı bulunamadı";
inline constexpr const char* pinRefused = "AKİS kart PIN doğrulaması başarısız; otomatik tekrar yapılmadı";
inline constexpr const char* noKey = "AKİS kartında sertifikayla eşleşen özel anahtar bulunamadı";
inline constexpr const char* notVerified = "AKİS imzası sertifikanın açık anahtarıyla doğrulanamadı";
// Followed by a return code.
inline constexpr const char* signInitFailed = "AKİS imza işlemi başlatılamadı: ";
inline constexpr const char* signatureLengthFailed = "AKİS imza boyutu alınamadı: ";
inline constexpr const char* signFailed = "AKİS kartı imza üretemedi: ";
}  // namespace challenge
}  // namespace card

// The PIN dialog and what its outcome means for a signature. A dialog's
// description is its title, a line feed, and then its own text; the card's
// final-try warning, when shown, is a line of its own right after the title.
namespace pin {
inline constexpr const char* cancelled = "İmza denemesi kullanıcı tarafından iptal edildi";
inline constexpr const char* noDialog = "PIN penceresi açılamadı; imza denenmedi";

inline constexpr const char* confirm = "İmzala";
inline constexpr const char* cancel = "Vazgeç";

// The card's dialog.
inline constexpr const char* cardTitle = "AKİS kart PIN’i";
inline constexpr const char* cardDescription =
    "PIN yalnızca bu imza denemesi için kart sürücüsüne iletilir; kaydedilmez veya loglanmaz. "
    "Tek deneme yapılacaktır.";
inline constexpr const char* cardPrompt = "Kart PIN’i";
inline constexpr const char* finalTryWarning = "Dikkat: son deneme hakkı — yanlış PIN kartı kilitler.";

// The certificate store's dialog; the description names the token between
// the opening and the closing quotation mark.
inline constexpr const char* storeTitle = "Sertifika deposu PIN’i";
inline constexpr const char* storeDescriptionBefore = "“";
inline constexpr const char* storeDescriptionAfter = "” imza için PIN ya da parola istiyor. Yalnızca bir kez denenecek.";
inline constexpr const char* storePrompt = "PIN / parola";
}  // namespace pin

// What a person sees who starts the helper by hand with --version or --help.
namespace commandLine {
// Followed by a space, the version and a line feed.
inline constexpr const char* programName = "tarvo-eimza-helper";
inline constexpr const char* usage =
    "Usage: tarvo-eimza-helper [--help | --version]\n"
    "\n"
    "Serves one request of the robot: reads a JSON object on standard input,\n"
    "performs its action (\"list\", \"sign\", \"udf-cert\" or \"udf-sign\") and\n"
    "writes one JSON line on standard output. Exit status 0 after an answer,\n"
    "2 after an error document.\n"
    "\n"
    "The protocol, every message and the set-up are described in\n"
    "tarvo-eimza-helper(1).\n";
}  // namespace commandLine

}  // namespace tarvo::messages
