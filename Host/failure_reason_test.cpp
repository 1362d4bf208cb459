// The reasons the host gives for a failed open: their order, the look of a mail message, and
// what the file system says about real files.
#include "failure_reason.h"

#include <sys/stat.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include <mapicode.h>

#include "HostInterfaces.h"
#include "base/comptr.h"
#include "log_test_support.h"

namespace {

using cardhost::FailureReason;
using cardhost::FileFacts;
using cardhost::LoggedFailure;
using cardhost::LooksLikeMailHeaders;

const std::string kCompound = std::string("\xD0\xCF\x11\xE0\xA1\xB1\x1A\xE1", 8) + std::string(504, '\0');

FileFacts File(const std::string& head) {
    FileFacts facts;
    facts.kind = FileFacts::Kind::File;
    facts.readable = true;
    facts.head = head;
    return facts;
}

TEST(FailureReason, InTheirOrder) {
    const LoggedFailure corrupt{"StgOpenStorage", STG_E_DOCFILECORRUPT};
    const LoggedFailure shared{"StgOpenStorage", STG_E_SHAREVIOLATION};
    FileFacts missing;
    missing.kind = FileFacts::Kind::Missing;
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, missing, corrupt), "no such file");
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, missing, std::nullopt), "no such file");
    FileFacts folder;
    folder.kind = FileFacts::Kind::Folder;
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, folder, std::nullopt), "a folder, not a file");

    FileFacts locked = File(kCompound);
    locked.readOnly = locked.folderRefusesSaves = locked.heldElsewhere = true;
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, locked, shared), "permission denied: the file is read-only");
    locked.readOnly = false;
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, locked, shared), "permission denied: the folder is read-only");
    locked.folderRefusesSaves = false;
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, locked, std::nullopt), "held open by another program");
    locked.heldElsewhere = false;
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, locked, shared), "held open by another program")
        << "the plug-in's own open met the other program";
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, locked, LoggedFailure{"StgOpenStorage", STG_E_ACCESSDENIED}),
              "StgOpenStorage failed: 0x80030005 STG_E_ACCESSDENIED: access to the file was denied");
    EXPECT_EQ(FailureReason(E_MSG_FILE_LOCKED, locked, std::nullopt), "");

    // A read-only file is no reason for a file that is not readable as a message.
    FileFacts readOnly = File("plain text");
    readOnly.readOnly = true;
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, readOnly, std::nullopt), "not a compound file");
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, File(""), corrupt), "not a compound file: the file is empty");
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, File("From: a@example.com\r\nTo: b@example.com\r\n\r\nHi"), corrupt),
              "not a compound file: looks like a MIME message (an .eml saved as .msg)");
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, File(kCompound), corrupt),
              "StgOpenStorage failed: 0x80030109 STG_E_DOCFILECORRUPT: the compound file is damaged");
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, File(kCompound), LoggedFailure{"GetProps", MAPI_E_CORRUPT_DATA}),
              "GetProps failed: 0x8004011B MAPI_E_CORRUPT_DATA: the message is damaged");
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, File(kCompound), std::nullopt), "");
    FileFacts unreadable;
    unreadable.kind = FileFacts::Kind::File;
    EXPECT_EQ(FailureReason(E_MSG_OPEN_FAILED, unreadable, corrupt),
              "StgOpenStorage failed: 0x80030109 STG_E_DOCFILECORRUPT: the compound file is damaged");
}

TEST(FailureReason, MailHeadersAreToldFromOtherText) {
    for (const char* mail : {
             "Received: from mx.example.com\r\n\tby mail.example.net; Mon, 2 Mar 2026 10:00:00 +0100\r\n"
             "From: Ada <ada@example.com>\r\nTo: bruno@example.com\r\nSubject: figures\r\n\r\nHello",
             "From ada@example.com Mon Mar  2 10:00:00 2026\nReturn-Path: <ada@example.com>\nX-Mailer: x\n",
             "MIME-Version: 1.0\nContent-Type: text/plain\n",
             "X-Spam: no\nsubject: lower case\nX-Other: cut before its col",  // the bytes end mid-line
         })
        EXPECT_TRUE(LooksLikeMailHeaders(mail)) << mail;
    for (const char* other : {
             "plain text, not a compound file",
             "",
             "key: value\nother: thing\n\nnot mail",              // no field of a mail message
             "Subject: one field only\n\nbody",
             " folded: first\nFrom: a\nTo: b\n",                 // a folded line before any field
             "From: a\nnot a header line\nTo: b\n",
             "From: a\n: no name\nTo: b\n",
             "From: a\nBad Name: x\nTo: b\n",
             "From: a\xC3\xA9\nTo\xC3\xA9: b\n",
         })
        EXPECT_FALSE(LooksLikeMailHeaders(other)) << other;
    EXPECT_FALSE(LooksLikeMailHeaders(kCompound));
    EXPECT_FALSE(LooksLikeMailHeaders(std::string(77, 'X') + ": long name\nFrom: a\n"));
}

class FileExamination : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(folder_.Made()); }
    std::string Put(const std::string& name, const std::string& bytes) {
        const std::string path = dir_ + "/" + name;
        std::ofstream(path, std::ios::binary) << bytes;
        return path;
    }
    platform::testing::TempFolder folder_{"failure_reason_test"};
    const std::string dir_ = folder_.Path().string();
};

TEST_F(FileExamination, WhatTheFileSystemSays) {
    EXPECT_EQ(cardhost::ExamineFile(dir_ + "/missing.msg").kind, FileFacts::Kind::Missing);
    EXPECT_EQ(cardhost::ExamineFile(dir_ + "/missing/folder/x.msg").kind, FileFacts::Kind::Missing);
    EXPECT_EQ(cardhost::ExamineFile(dir_).kind, FileFacts::Kind::Folder);

    const std::string named = Put("\xFF\xFE not UTF-8.msg", "Date: today\nFrom: a\n");
    FileFacts facts = cardhost::ExamineFile(named);
    EXPECT_EQ(facts.kind, FileFacts::Kind::File);
    EXPECT_TRUE(facts.readable);
    EXPECT_EQ(facts.head, "Date: today\nFrom: a\n");
    EXPECT_FALSE(facts.readOnly);
    EXPECT_FALSE(facts.folderRefusesSaves);
    EXPECT_FALSE(facts.heldElsewhere);

    const std::string big = Put("big.msg", std::string(10000, 'x'));
    EXPECT_EQ(cardhost::ExamineFile(big).head, std::string(cardhost::kHeadBytes, 'x'));

    chmod(big.c_str(), 0444);
    EXPECT_TRUE(cardhost::ExamineFile(big).readOnly);
    chmod(big.c_str(), 0644);
    chmod(dir_.c_str(), 0555);
    facts = cardhost::ExamineFile(big);
    EXPECT_FALSE(facts.readOnly);
    EXPECT_TRUE(facts.folderRefusesSaves);
    chmod(dir_.c_str(), 0700);
}

TEST_F(FileExamination, AFileAnotherOpenHoldsIsHeldElsewhere) {
    const std::string path = dir_ + "/held.msg";
    const std::u16string wide = logtest::Wide(path);
    platform::ComPtr<IStorage> writer;
    ASSERT_EQ(StgCreateDocfile(wide.c_str(), STGM_CREATE | STGM_READWRITE | STGM_SHARE_EXCLUSIVE, 0, writer.Put()), S_OK);
    ASSERT_EQ(writer->Commit(0), S_OK);
    const FileFacts held = cardhost::ExamineFile(path);
    EXPECT_TRUE(held.heldElsewhere);
    EXPECT_TRUE(cardhost::IsCompoundFileHeader(held.head));
    writer.Reset();
    EXPECT_FALSE(cardhost::ExamineFile(path).heldElsewhere);
}

}  // namespace
