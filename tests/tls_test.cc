// tls_test.cc - TLS on the direct connection: a device server process
// listens on a tls: endpoint, with a CA, certificates and keys made here by
// the openssl program, and this process calls and monitors it.

#include "framework/calls/tls.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>

#include "framework/calls/endpoint.h"
#include "framework/calls/names.h"
#include "framework/calls/peers.h"
#include "framework/calls/remote_call.h"
#include "framework/host/server.h"
#include "testkit/testkit.h"

namespace {

namespace protocol = norix::protocol;
using Clock = std::chrono::steady_clock;

const std::string HEATER = "DEMO.DEV/SIM/HEATER/";
const std::string SECRET = "tls-test-secret-0123";
constexpr int CALL_TIMEOUT_MS = 20000;
constexpr auto NO_WAIT = std::chrono::milliseconds(CALL_TIMEOUT_MS / 2);

class TlsCalls : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    dir_ = new testkit::TempDir;
    ASSERT_EQ(testkit::make_test_certificates(dir_->path()), "");
  }
  static void TearDownTestSuite() {
    delete dir_;
    dir_ = nullptr;
  }
  void SetUp() override {
    std::string conf = testkit::read_file(std::string(EXAMPLE_DEMO_DIR) + "/devices.conf");
    conf.replace(conf.find("listen unix:dev.sock"), 20,
                 "listen tls:127.0.0.1:0\ntls_cert " + file("dev.pem") + "\ntls_key " +
                     file("dev.key") + "\ntls_client_ca " + file("ca.pem") + "\nsecret " + SECRET);
    testkit::write_file(dir_->file("devices.conf"), conf);
    devices_.reset(new testkit::ServerProcess);
    ASSERT_TRUE(devices_->start(SIM_DEVICES_PATH, {"devices.conf"}, dir_->path()) &&
                devices_->wait_output("listening on"))
        << devices_->output();
    size_t at = devices_->output().find("listening on tls:");
    ASSERT_NE(at, std::string::npos) << devices_->output();
    endpoint_ = devices_->output().substr(at + 13);
    endpoint_ = endpoint_.substr(0, endpoint_.find_first_of(" \n"));
    testkit::use_client();
    norix::set_call_timeout(CALL_TIMEOUT_MS);
    norix::add_peer("DEMO.DEV", "SIM", endpoint_);
    protocol::set_secret(endpoint_, SECRET);
    ASSERT_EQ(caller("ca.pem", "", true), "");
  }
  void TearDown() override {
    norix::clear_monitors();
    norix::set_call_timeout(0);
    protocol::clear_tls();
  }
  static std::string file(const std::string& name) { return dir_->file(name); }
  // Sets this process's TLS settings: "" or the reason they were refused.
  static std::string caller(const std::string& ca, const std::string& name, bool client_cert) {
    protocol::tls_settings s;
    s.ca = file(ca);
    s.name = name;
    if (client_cert) {
      s.cert = file("client.pem");
      s.key = file("client.key");
    }
    std::string why;
    return protocol::set_tls(s, &why) == 0 ? "" : why;
  }
  std::string port() const { return endpoint_.substr(endpoint_.rfind(':') + 1); }

  static testkit::TempDir* dir_;
  std::unique_ptr<testkit::ServerProcess> devices_;
  std::string endpoint_;
};
testkit::TempDir* TlsCalls::dir_ = nullptr;

TEST_F(TlsCalls, CallsAndMonitorsWorkWithTheSecretInside) {
  std::string setpoint = testkit::client_get(HEATER + "SETPOINT");
  ASSERT_EQ(setpoint.find("error"), std::string::npos) << setpoint;
  ASSERT_EQ(testkit::client_set(HEATER + "SETPOINT", "85"), 0);
  EqAdr a;
  a.adr(HEATER + "SETPOINT");
  EqData request, result;
  EqCall call;
  std::string last;
  EXPECT_TRUE(testkit::wait_until([&] {
    call.get_monitor(&a, &request, &result, 1, 1.0f, nullptr, nullptr);
    return (last = result.text_value()) == testkit::client_get(HEATER + "SETPOINT") &&
           last != setpoint;
  })) << last;
  EXPECT_EQ(norix::monitor_table().subscribed, 1);
  // The server names a TLS client by its address, not by the local socket
  // its relay hands over.
  protocol::set_secret(endpoint_, "a-wrong-secret-of-tls");
  EXPECT_EQ(testkit::client_get(HEATER + "RATE").find("error 112"), 0u);
  EXPECT_TRUE(devices_->wait_output("failed authentication from 127.0.0.1:")) << devices_->output();
}

// A server found by name is called on its tls: endpoint only when this
// process can verify it.
TEST_F(TlsCalls, ServersFoundByNameAreCalledWithTlsWhenItCanBeVerified) {
  ASSERT_EQ(norix::apply_presence(R"({"server":"F/D","online":true,"instance":"i","endpoints":)"
                                  R"(["unix:d.sock","tcp:127.0.0.1:8","tls:127.0.0.1:9"]})",
                                  nullptr),
            norix::NAME_APPLIED);
  EqAdr a;
  a.adr("F/D/LOC/PROP");
  EXPECT_EQ(norix::peer_endpoint(a), "tls:127.0.0.1:9");
  protocol::clear_tls();
  EXPECT_EQ(norix::peer_endpoint(a), "tcp:127.0.0.1:8");
  norix::clear_names();
}

// A server that cannot be verified, or that does not take this caller's
// certificate, is "server unreachable" (111), as a server that is gone.
TEST_F(TlsCalls, AnUnverifiedConnectionIsUnreachable) {
  struct Case {
    const char* ca;
    const char* name;
    bool client_cert;
    bool reached;
  };
  for (const Case& c :
       {Case{"ca.pem", "dev.test", true, true}, Case{"other-ca.pem", "", true, false},
        Case{"ca.pem", "other.test", true, false}, Case{"ca.pem", "", false, false}}) {
    SCOPED_TRACE(std::string(c.ca) + " name '" + c.name + "'" + (c.client_cert ? "" : " no cert"));
    ASSERT_EQ(caller(c.ca, c.name, c.client_cert), "");
    auto began = Clock::now();
    std::string got = testkit::client_get(HEATER + "SETPOINT");
    EXPECT_EQ(got.find("error 111") == 0, !c.reached) << got;
    EXPECT_LT(Clock::now() - began, NO_WAIT);
  }
  protocol::clear_tls();
  EXPECT_EQ(testkit::client_get(HEATER + "SETPOINT").find("error 111"), 0u) << "no CA set";
}

// Neither a plaintext client nor one that stalls in the handshake holds
// the server; a server that stalls in it holds a caller only its timeout.
TEST_F(TlsCalls, PlaintextAndStalledHandshakesEndInBoundedTime) {
  testkit::Connection plain("tcp:127.0.0.1:" + port());
  ASSERT_TRUE(plain.send("get " + HEATER + "SETPOINT\n"));
  EXPECT_EQ(plain.answer(), "<closed>");

  testkit::Connection stalled("tcp:127.0.0.1:" + port());  // never says a word
  EXPECT_EQ(testkit::client_get(HEATER + "SETPOINT").find("error"), std::string::npos);
  EXPECT_EQ(stalled.answer(), "<closed>") << "the server ends a handshake that never comes";

  protocol::Endpoint silent;
  protocol::Endpoint bound;
  std::string why;
  ASSERT_EQ(protocol::parse_endpoint("tcp:127.0.0.1:0", &silent, &why), 0);
  int fd = protocol::listen_on(silent, &bound, &why);  // accepts nothing, answers nothing
  ASSERT_GE(fd, 0) << why;
  bound.is_tls = true;
  EqData result;
  auto began = Clock::now();
  EXPECT_EQ(protocol::call(bound.text(), "get X/Y/Z/P", &result, 300), ERR_UNREACHABLE);
  EXPECT_LT(Clock::now() - began, NO_WAIT);
  close(fd);
}

}  // namespace
