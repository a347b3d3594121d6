#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "log/log.h"

namespace LogTest {

// A new empty folder under the temporary folder, removed with everything in it at the end.
class TempFolder {
public:
    TempFolder();
    ~TempFolder();
    const std::wstring& path() const { return path_; }
    std::wstring file(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    std::wstring path_;
};

std::string readFile(const std::wstring& path);
void writeFile(const std::wstring& path, const std::string& bytes);
// Names of the folder's files (not folders), sorted.
std::vector<std::wstring> fileNames(const std::wstring& folder);
// The text split at CR LF (the last piece is what follows the last CR LF).
std::vector<std::string> splitLines(const std::string& text);
std::string utf8(const std::wstring& text);

// A sink that keeps what it is given.
class MemorySink : public Log::Sink {
public:
    std::wstring name() const override { return L"Memory"; }
    void write(const Log::Record& record, const Log::TagTexts& tags) override;
    std::vector<std::wstring> messages() const;
    std::vector<Log::Record> records() const;
    std::vector<Log::TagTexts> tags() const;

private:
    std::vector<Log::Record> records_;
    std::vector<Log::TagTexts> tags_;
};

// Every test starts without a core and lets its core go at the end.
class LogFixture : public ::testing::Test {
protected:
    void SetUp() override { Log::Core::release(); }
    void TearDown() override { Log::Core::release(); }
};

}  // namespace LogTest
