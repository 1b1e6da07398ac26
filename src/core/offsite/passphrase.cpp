#include "offsite/passphrase.h"

#include <dlfcn.h>

#include <cstring>

#include "archive/archive.h"
#include "base/errors.h"
#include "platform/private_file.h"

namespace vornback {

namespace {

// libsecret's schema as its header lays it out (a stable interface); declared here so that
// the program neither needs libsecret to build nor to run.
struct SchemaAttribute {
    const char* name;
    int type;  // SECRET_SCHEMA_ATTRIBUTE_STRING = 0
};
struct Schema {
    const char* name;
    int flags;  // SECRET_SCHEMA_DONT_MATCH_NAME = 1 << 1
    SchemaAttribute attributes[32];
    int reserved;
    void* reserved1[7];
};
struct GErrorShape {
    unsigned domain;
    int code;
    char* message;
};

using LookupFn = char* (*)(const Schema*, void* cancellable, GErrorShape** error, ...);
using FreeFn = void (*)(char*);
using ErrorFreeFn = void (*)(GErrorShape*);

}  // namespace

std::optional<std::string> KeyringPassphrase() {
    void* library = ::dlopen("libsecret-1.so.0", RTLD_NOW | RTLD_LOCAL);
    if (library == nullptr) {
        return std::nullopt;
    }
    // Loaded once and kept: glib does not take well to being unloaded.
    const auto lookup = reinterpret_cast<LookupFn>(::dlsym(library, "secret_password_lookup_sync"));
    const auto release = reinterpret_cast<FreeFn>(::dlsym(library, "secret_password_free"));
    const auto errorFree = reinterpret_cast<ErrorFreeFn>(::dlsym(library, "g_error_free"));
    if (lookup == nullptr || release == nullptr || errorFree == nullptr) {
        return std::nullopt;
    }
    Schema schema{};
    schema.name = "org.vornback.ArchivePassphrase";
    schema.flags = 1 << 1;  // any schema name: entries stored by secret-tool match too
    schema.attributes[0] = {"application", 0};
    schema.attributes[1] = {"purpose", 0};
    GErrorShape* error = nullptr;
    char* secret = lookup(&schema, nullptr, &error, "application", kKeyringApplication, "purpose",
                          kKeyringPurpose, static_cast<char*>(nullptr));
    if (error != nullptr) {
        errorFree(error);
    }
    if (secret == nullptr) {
        return std::nullopt;
    }
    std::string passphrase(secret);
    release(secret);
    if (passphrase.empty()) {
        return std::nullopt;
    }
    return passphrase;
}

std::string PassphraseFromFile(const std::string& passphraseFile) {
    const std::string passphrase = ReadPrivateFile(passphraseFile, "The passphrase file");
    if (passphrase.size() < kShortestPassphrase) {
        throw Error("The passphrase in \"" + passphraseFile + "\" has " +
                    std::to_string(passphrase.size()) +
                    " characters; encrypted archives need a passphrase of at least " +
                    std::to_string(kShortestPassphrase) +
                    " (the format's key derivation is weak, so length is the defence).");
    }
    return passphrase;
}

std::string EncryptionPassphrase(const std::string& passphraseFile) {
    if (std::optional<std::string> kept = KeyringPassphrase()) {
        if (kept->size() < kShortestPassphrase) {
            throw Error("The passphrase in the desktop keyring has fewer than " +
                        std::to_string(kShortestPassphrase) +
                        " characters; store a longer one for encrypted archives.");
        }
        return *kept;
    }
    if (passphraseFile.empty()) {
        throw Error(
            "Encrypted archives need a passphrase: set PassphraseFile in section [Offsite] to "
            "a private file (chmod 600) whose first line holds it, or store it in the desktop "
            "keyring (secret-tool store --label=vornback application vornback purpose "
            "archive-passphrase).");
    }
    return PassphraseFromFile(passphraseFile);
}

}  // namespace vornback
