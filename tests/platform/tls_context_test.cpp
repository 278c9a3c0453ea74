// TLS settings turned into contexts: files checked before a start, and Tapline's own certificate.
#include "platform/tls_context.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>

#include "tests/support/test_certificates.h"

namespace tapline::platform {
namespace {

class TlsContextTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { files_ = test::MakeTestCertificates(); }
  void SetUp() override { ASSERT_FALSE(files_.caFile.empty()); }
  static std::string Refusal(const TlsSettings& settings) {
    std::string error;
    auto context = TlsContext::Make(settings, error);
    EXPECT_FALSE(context);
    return error;
  }
  static TlsSettings ForClients(const std::string& cert, const std::string& key) {
    TlsSettings settings;
    settings.forClients = true;
    settings.certFile = cert;
    settings.keyFile = key;
    return settings;
  }
  static test::TestCertificates files_;
};

test::TestCertificates TlsContextTest::files_;

TEST_F(TlsContextTest, MissingCertificateFileIsRefusedNamingIt) {
  const std::string missing = files_.folder + "/missing.pem";
  EXPECT_EQ(Refusal(ForClients(missing, files_.serverKey)),
            "Cannot read the certificate file " + missing + ": No such file or directory");
}

TEST_F(TlsContextTest, KeyOfAnotherCertificateIsRefusedNamingIt) {
  EXPECT_EQ(Refusal(ForClients(files_.serverCert, files_.otherKey)),
            "The key file " + files_.otherKey + " does not match the certificate in " + files_.serverCert);
}

TEST_F(TlsContextTest, CaFileWithoutCertificateIsRefusedNamingIt) {
  TlsSettings settings;
  settings.toRemote = true;
  settings.caFile = files_.serverKey;
  EXPECT_EQ(Refusal(settings), "The CA file " + files_.serverKey + " holds no certificate");
}

TEST_F(TlsContextTest, OwnCertificateIsMadeOnceWithAPrivateKeyAndReused) {
  const char* before = std::getenv("XDG_DATA_HOME");
  const std::string saved = before != nullptr ? before : "";
  ::setenv("XDG_DATA_HOME", files_.folder.c_str(), 1);
  std::string error;
  auto first = TlsContext::Make(ForClients("", ""), error);
  ASSERT_TRUE(first) << error;
  const std::string folder = files_.folder + "/Tapline/";
  struct stat key {};
  ASSERT_EQ(::stat((folder + kOwnKeyFile).c_str(), &key), 0);
  auto second = TlsContext::Make(ForClients("", ""), error);
  if (before != nullptr) ::setenv("XDG_DATA_HOME", saved.c_str(), 1); else ::unsetenv("XDG_DATA_HOME");
  ASSERT_TRUE(second) << error;
  EXPECT_EQ(key.st_mode & 0777, 0600u);
  EXPECT_EQ(first->CertificatePath(), folder + kOwnCertificateFile);
  EXPECT_EQ(first->CertificateFingerprint().size(), 32u * 3 - 1);
  EXPECT_EQ(second->CertificateFingerprint(), first->CertificateFingerprint());
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 2);
}

}  // namespace
}  // namespace tapline::platform
