// Included by PKCS11.hpp only.

namespace tarvo {

// One load of the module, from dlopen to dlclose. The members are declared in
// the order they are set up, so that destruction runs C_Finalize before
// dlclose; a failure while setting up unloads whatever was already loaded,
// and a module whose C_Initialize failed is unloaded without C_Finalize.
class ModuleLifetime {
public:
    // Loads the module, binds the entry points and initialises the module.
    explicit ModuleLifetime(const std::string& modulePath);

    ModuleLifetime(const ModuleLifetime&) = delete;
    ModuleLifetime& operator=(const ModuleLifetime&) = delete;

    const PKCS11& pkcs11() const { return pkcs11_; }

private:
    class Initialization {
    public:
        explicit Initialization(const PKCS11& pkcs11);
        ~Initialization();
        Initialization(const Initialization&) = delete;
        Initialization& operator=(const Initialization&) = delete;

    private:
        decltype(PKCS11::C_Finalize) finalize_;
    };

    platform::DynamicLibrary library_;
    PKCS11 pkcs11_;
    Initialization initialization_;
};

template <typename Operation>
auto withPKCS11(const std::string& modulePath, Operation&& operation)
    -> decltype(operation(std::declval<const PKCS11&>())) {
    const ModuleLifetime module(modulePath);
    return operation(module.pkcs11());
}

}  // namespace tarvo
