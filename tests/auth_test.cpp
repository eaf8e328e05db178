// The authentication mechanisms against a scripted peer: each one's exact dialogue,
// the message of every step that can fail, and the automatic choice.
#include <cstdlib>
#include <optional>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "codec/base64.h"
#include "tests/support/catch_error.h"
#include "tests/support/scripted_peer.h"
#include "tests/support/smtp_client.h"

namespace {

const char* const plainEhlo = "250-server\r\n250 HELP\r\n";

PeerScript Quit() { return PeerScript().Expect("QUIT\r\n").Send("221 bye\r\n").ExpectClosed(); }

// Connects with mechanism to a server whose EHLO reply is ehlo and that then plays
// exchange; after success the client disconnects. Returns the error that Connect
// raised, if any; the connection is closed either way, after a QUIT.
std::optional<CTAVSMTPException> Authenticate(std::int32_t mechanism, const std::string& ehlo,
                                              const PeerScript& exchange,
                                              const char* user = "user",
                                              const char* password = "secret") {
  ScriptedPeer peer{PeerScript()
                        .Send("220 hi\r\n")
                        .Expect("EHLO client\r\n")
                        .Send(ehlo)
                        .Then(exchange)
                        .Then(Quit())};
  TestClient c;
  std::optional<CTAVSMTPException> error;
  try {
    c.ConnectTo(peer.Port(), mechanism, user, password);
    c.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    error = e;
  }
  EXPECT_TRUE(c.Closed());
  EXPECT_EQ(peer.Finish(), "");
  return error;
}

struct Dialogue {
  const char* name;
  std::int32_t mechanism;
  PeerScript exchange;  // what follows the EHLO reply
  HRESULT error;        // 0 when the exchange succeeds
  const char* text;     // the error's text
};

void RunDialogues(const std::vector<Dialogue>& dialogues) {
  for (const Dialogue& d : dialogues) {
    SCOPED_TRACE(d.name);
    std::optional<CTAVSMTPException> error = Authenticate(d.mechanism, plainEhlo, d.exchange);
    if (d.error == 0) {
      EXPECT_FALSE(error) << error->what();
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, d.error);
    EXPECT_EQ(error->m_sLastResponseText, d.text);
  }
}

}  // namespace

// Prompts are Base64 of "Username:" and "Password:" in any letter case; answers are the
// Base64 of "user" and "secret".
TEST(AuthLogin, DialogueAndTheMessageOfEachStep) {
  auto login = [] { return PeerScript().Expect("AUTH LOGIN\r\n"); };
  auto user = [&] { return login().Send("334 VXNlcm5hbWU6\r\n").Expect("dXNlcg==\r\n"); };
  auto password = [&] { return user().Send("334 UGFzc3dvcmQ6\r\n").Expect("c2VjcmV0\r\n"); };
  RunDialogues({
      {"accepted", AuthLogin, password().Send("235 2.7.0 ok\r\n"), 0, ""},
      {"prompts in other cases", AuthLogin,
       login()
           .Send("334 VVNFUk5BTUU6\r\n")
           .Expect("dXNlcg==\r\n")
           .Send("334 cGFzc3dvcmQ6\r\n")
           .Expect("c2VjcmV0\r\n")
           .Send("235 ok\r\n"),
       0, ""},
      {"525 no 334", AuthLogin, login().Send("504 5.5.4 unknown\r\n"), Itf(525),
       "504 5.5.4 unknown"},
      {"526 other wording", AuthLogin, login().Send("334 VXNlciBOYW1lOg==\r\n"), Itf(526),
       "334 VXNlciBOYW1lOg=="},
      {"526 trailing blank", AuthLogin, login().Send("334 VXNlcm5hbWU6IA==\r\n"), Itf(526),
       "334 VXNlcm5hbWU6IA=="},
      {"527", AuthLogin, user().Send("535 no\r\n"), Itf(527), "535 no"},
      {"528", AuthLogin, user().Send("334 UGFzc2NvZGU6\r\n"), Itf(528), "334 UGFzc2NvZGU6"},
      {"529", AuthLogin, password().Send("535 5.7.8 invalid\r\n"), Itf(529),
       "535 5.7.8 invalid"},
  });
}

TEST(AuthPlain, ClearTextDialogueAndTheMessageOfEachStep) {
  auto plain = [] { return PeerScript().Expect("AUTH PLAIN\r\n"); };
  auto user = [&] { return plain().Send("334 Username:\r\n").Expect("user\r\n"); };
  auto password = [&] { return user().Send("334 PASSWORD:\r\n").Expect("secret\r\n"); };
  RunDialogues({
      {"accepted", AuthPlain, password().Send("235 ok\r\n"), 0, ""},
      {"530 no 334", AuthPlain, plain().Send("504 no\r\n"), Itf(530), "504 no"},
      {"531 empty prompt (RFC 4616)", AuthPlain, plain().Send("334 \r\n"), Itf(531), "334 "},
      {"531 Base64 prompt", AuthPlain, plain().Send("334 VXNlcm5hbWU6\r\n"), Itf(531),
       "334 VXNlcm5hbWU6"},
      {"532", AuthPlain, user().Send("535 no\r\n"), Itf(532), "535 no"},
      {"533", AuthPlain, user().Send("334 Passwort:\r\n"), Itf(533), "334 Passwort:"},
      {"534", AuthPlain, password().Send("535 invalid\r\n"), Itf(534), "535 invalid"},
  });
}

// A line break in a clear-text answer would end it and start a command of its own.
TEST(AuthPlain, LineBreaksInTheCredentialsAreRefusedBeforeAnythingIsSent) {
  for (auto [user, password] : {std::pair{"user\r\nRSET", "secret"}, std::pair{"user", "se\ncret"},
                                std::pair{"user\r", "secret"}}) {
    auto error = Authenticate(AuthPlain, plainEhlo, PeerScript(), user, password);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Win32(87));
    EXPECT_EQ(error->m_sLastResponseText, "");
  }
}

TEST(AuthCramMd5, AnswersTheExampleOfRfc2195) {
  // The answer is "tim b913a602c7eda7a495b4e6e7334d3890" in Base64, on one line.
  auto error = Authenticate(
      AuthCramMd5, plainEhlo,
      PeerScript()
          .Expect("AUTH CRAM-MD5\r\n")
          .Send("334 PDE4OTYuNjk3MTcwOTUyQHBvc3RvZmZpY2UucmVzdG9uLm1jaS5uZXQ+\r\n")
          .Expect("dGltIGI5MTNhNjAyYzdlZGE3YTQ5NWI0ZTZlNzMzNGQzODkw\r\n")
          .Send("235 ok\r\n"),
      "tim", "tanstaaftanstaaf");
  EXPECT_FALSE(error);
}

TEST(AuthCramMd5, TheMessageOfEachStep) {
  auto cram = [] { return PeerScript().Expect("AUTH CRAM-MD5\r\n"); };
  RunDialogues({
      {"535 no 334", AuthCramMd5, cram().Send("504 no\r\n"), Itf(535), "504 no"},
      {"536 answer refused", AuthCramMd5,
       cram().Send("334 PDEyMzQ+\r\n").ReadAny().Send("535 5.7.8 invalid\r\n"), Itf(536),
       "535 5.7.8 invalid"},
  });
}

// With mechanism 5 the "250-AUTH " line of the EHLO reply decides: NTLM before
// CRAM-MD5 before LOGIN before PLAIN, whatever the letter case. The chosen mechanism
// shows in its first command; the server refuses it.
TEST(AuthAutomatic, ChoosesFromTheAuthLine) {
  auto refused = [](const char* command) {
    return PeerScript().Expect(command).Send("504 not today\r\n");
  };
  struct Case {
    const char* ehlo;
    PeerScript exchange;  // empty: nothing can be chosen
    HRESULT error;
  };
  const Case cases[] = {
      {"250-server\r\n250-AUTH LOGIN PLAIN NTLM CRAM-MD5\r\n250 HELP\r\n",
       PeerScript().Expect("AUTH NTLM ").ReadAny().Send("504 not today\r\n"), Itf(538)},
      {"250-server\r\n250-AUTH LOGIN PLAIN CRAM-MD5\r\n250 HELP\r\n",
       refused("AUTH CRAM-MD5\r\n"), Itf(535)},
      {"250-server\r\n250-AUTH login cram-md5\r\n250 HELP\r\n", refused("AUTH CRAM-MD5\r\n"),
       Itf(535)},
      {"250-server\r\n250-AUTH PLAIN LOGIN\r\n250 HELP\r\n", refused("AUTH LOGIN\r\n"),
       Itf(525)},
      {"250-server\r\n250-AUTH PLAIN\r\n250 HELP\r\n", refused("AUTH PLAIN\r\n"), Itf(530)},
      // Only the AUTH line counts, not the lines after it.
      {"250-AUTH PLAIN\r\n250 X-CRAM-MD5\r\n", refused("AUTH PLAIN\r\n"), Itf(530)},
      {"250-server\r\n250 AUTH LOGIN\r\n", PeerScript(), Itf(516)},
      {"250-server\r\n250-AUTH=LOGIN\r\n250 HELP\r\n", PeerScript(), Itf(516)},
      {"250-server\r\n250-AUTH GSSAPI\r\n250 HELP\r\n", PeerScript(), Itf(516)},
      {"250-server\r\n250 HELP\r\n", PeerScript(), Itf(516)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.ehlo);
    auto error = Authenticate(AuthAutomatic, c.ehlo, c.exchange, "DOM\\user");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, c.error);
    std::string ehlo = c.ehlo;
    EXPECT_EQ(error->m_sLastResponseText,
              c.error != Itf(516) ? "504 not today" : ehlo.substr(0, ehlo.size() - 2));
  }
}

// An explicit mechanism runs whether or not the server offers it.
TEST(AuthAutomatic, AnExplicitMechanismIgnoresTheAuthLine) {
  auto error =
      Authenticate(AuthLogin, "250-server\r\n250-AUTH CRAM-MD5\r\n250 HELP\r\n",
                   PeerScript().Expect("AUTH LOGIN\r\n").Send("504 no\r\n"));
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(525));
}

namespace {

// A connection whose transport is connected to a peer playing script, for calling the
// NTLM token operations one by one.
class TokenSession {
 public:
  explicit TokenSession(PeerScript script) : peer(std::move(script)) {
    connection.CreateTransport();
    connection.TransportConnect("127.0.0.1", peer.Port());
  }

  ScriptedPeer peer;
  TestClient connection;
};

const std::string negotiate = std::string("NTLMSSP\0\1\0\0\0", 12);
const std::string challenge = std::string("NTLMSSP\0\2\0\0\0\xFF", 13);
const std::string answer = std::string("NTLMSSP\0\3\0\0\0", 12);

const unsigned char* Bytes(const std::string& s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

}  // namespace

// The first token on the AUTH NTLM line, the challenge from a 334 reply, the answer on
// a line of its own, and a 235 reply.
TEST(AuthNtlm, TokensTravelInBase64OverAuthNtlm) {
  TokenSession s(PeerScript()
                     .Expect("AUTH NTLM TlRMTVNTUAABAAAA\r\n")
                     .Send("334 TlRMTVNTUAACAAAA/w==\r\n")
                     .Expect("TlRMTVNTUAADAAAA\r\n")
                     .Send("235 2.7.0 ok\r\n"));
  EXPECT_EQ(s.connection.SendNtlmFirstToken(Bytes(negotiate), 12), SEC_E_OK);
  unsigned char buffer[12000];
  unsigned received = 0;
  EXPECT_EQ(s.connection.ReceiveNtlmToken(buffer, sizeof buffer, &received), SEC_E_OK);
  EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), received), challenge);
  EXPECT_EQ(s.connection.SendNtlmNextToken(Bytes(answer), 12), SEC_E_OK);
  EXPECT_EQ(s.peer.Finish(), "");
}

TEST(AuthNtlm, RepliesOtherThan334And235Raise538) {
  TokenSession s(PeerScript()
                     .Send("535 5.7.8 no challenge\r\n")
                     .Expect("TlRMTVNTUAADAAAA\r\n")
                     .Send("535 5.7.8 invalid\r\n"));
  unsigned char buffer[100];
  unsigned received = 0;
  auto error = SmtpErrorOf([&] { s.connection.ReceiveNtlmToken(buffer, sizeof buffer, &received); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(538));
  EXPECT_EQ(error->m_sLastResponseText, "535 5.7.8 no challenge");
  error = SmtpErrorOf([&] { s.connection.SendNtlmNextToken(Bytes(answer), 12); });
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(538));
  EXPECT_EQ(error->m_sLastResponseText, "535 5.7.8 invalid");
}

// A challenge must leave room in the buffer: one of the buffer's size is refused.
TEST(AuthNtlm, ChallengeThatFillsTheBufferIsRefused) {
  for (unsigned length : {11999u, 12000u, 12001u}) {
    SCOPED_TRACE(length);
    std::string token(length, '\x5A');
    CBase64Buffer encoded;
    encoded.Encode(Bytes(token), static_cast<int>(length), CBase64Buffer::Base64NoLineBreaks);
    TokenSession s(PeerScript().Send("334 " + std::string(encoded.Data()) + "\r\n"));
    std::vector<unsigned char> buffer(12000, 0);
    unsigned received = 0;
    SECURITY_STATUS status = s.connection.ReceiveNtlmToken(buffer.data(), 12000, &received);
    EXPECT_EQ(received, length);
    if (length < 12000) {
      EXPECT_EQ(status, SEC_E_OK);
      EXPECT_EQ(buffer[length - 1], 0x5A);
    } else {
      EXPECT_EQ(status, SEC_E_INSUFFICIENT_MEMORY);
      EXPECT_EQ(buffer[0], 0);
    }
  }
}

// Through Connect: the real NTLM client sends its negotiate token; a challenge of
// 12,000 bytes ends the exchange with its status as the error, after QUIT.
TEST(AuthNtlm, OversizedChallengeEndsConnectWithInsufficientMemory) {
  CBase64Buffer encoded;
  std::string token(12000, 'N');
  encoded.Encode(Bytes(token), 12000, CBase64Buffer::Base64NoLineBreaks);
  std::string reply = "334 " + std::string(encoded.Data());
  auto error = Authenticate(
      AuthNtlm, plainEhlo,
      PeerScript().Expect("AUTH NTLM TlRMTVNT").ReadAny().Send(reply + "\r\n"), "DOM\\bob");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, SEC_E_INSUFFICIENT_MEMORY);
  EXPECT_EQ(error->m_sLastResponseText, reply);
  // The user reads the text of the whole status, not that of its low 16 bits.
  EXPECT_STREQ(error->what(), "Not enough memory is available to complete the security request.");
}

TEST(AuthNtlm, WithoutTheSecurityLibraryNothingIsSent) {
  setenv("EMAILER_GSSAPI_LIBRARY", "/nonexistent/libgssapi.so", 1);
  auto error = Authenticate(AuthNtlm, plainEhlo, PeerScript(), "DOM\\bob");
  unsetenv("EMAILER_GSSAPI_LIBRARY");
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, SEC_E_UNSUPPORTED_FUNCTION);
  EXPECT_EQ(error->m_sLastResponseText, "250-server\r\n250 HELP");
}
