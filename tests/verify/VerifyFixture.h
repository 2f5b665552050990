// Shared pieces of the signature tests: a program folder with updates/, and the key pairs made
// once per test program (the publisher's, another one and the publisher's next).
#pragma once

#include <gtest/gtest.h>
#include <memory>
#include <string>

#include "MinisignRig.h"
#include "TestFiles.h"
#include "verify/UpdateVerifier.h"

// Names the tests of a table of cases after each case's `name`.
struct CaseName {
    template <class Case> std::string operator()(const ::testing::TestParamInfo<Case>& info) const {
        return info.param.name;
    }
};

class VerifyFixture : public ::testing::Test {
public:
    static void SetUpTestSuite() {
        if (keyFolder)
            return;
        keyFolder = std::make_unique<fixtures::TempDir>();
        publisher = fixtures::generateKey(keyFolder->path(), "publisher");
        other = fixtures::generateKey(keyFolder->path(), "other");
        successor = fixtures::generateKey(keyFolder->path(), "successor");
    }

    void SetUp() override { ASSERT_NO_THROW(fixtures::makeFolders(path("updates"))); }

    std::string program() const { return m_program.path(); }
    std::string path(const std::string& relative) const { return program() + "/" + relative; }
    std::string update(const std::string& name) const { return path("updates/" + name); }

    // The bytes of a file; none when it cannot be read.
    static std::string contents(const std::string& file) {
        try {
            return fixtures::readFile(file);
        } catch (const std::runtime_error&) {
            return {};
        }
    }
    static void write(const std::string& file, const std::string& bytes) {
        ASSERT_NO_THROW(fixtures::writeFile(file, bytes)) << file;
    }
    static std::string publicKeyText(const fixtures::MinisignKey& key) {
        return contents(key.publicKeyFile);
    }

    // The key file of the program folder: the public keys given, one after another.
    void installKeys(std::initializer_list<const fixtures::MinisignKey*> installed) {
        std::string text;
        for (const fixtures::MinisignKey* key : installed)
            text += publicKeyText(*key);
        write(path(UpdateVerifier::KeyFileName), text);
    }

    // A package in updates/ of `size` bytes, and its signature by `key`.
    void signedPackage(const std::string& name, std::size_t size,
                       const fixtures::MinisignKey& key = publisher,
                       const fixtures::SignOptions& options = {}) {
        std::string bytes(size, '\0');
        for (std::size_t i = 0; i < size; ++i)
            bytes[i] = char((i * 7919 + name.size()) >> 3);
        write(update(name), bytes);
        fixtures::sign(key, update(name), options);
    }

    static inline std::unique_ptr<fixtures::TempDir> keyFolder; // the keys of the whole program
    static inline fixtures::MinisignKey publisher, other, successor;

private:
    fixtures::TempDir m_program;
};
