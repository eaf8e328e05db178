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

void RunDialogues(const std::vector<Dialogue>& dialogues, const char* ehlo = plainEhlo) {
  for (const Dialogue& d : dialogues) {
    SCOPED_TRACE(d.name);
    std::optional<CTAVSMTPException> error = Authenticate(d.mechanism, ehlo, d.exchange);
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

namespace {

std::string Base64Of(const std::string& bytes) {
  CBase64Buffer encoded;
  encoded.Encode(Bytes(bytes), static_cast<int>(bytes.size()), CBase64Buffer::Base64NoLineBreaks);
  return encoded.Data();
}

std::string Decoded(const std::string& base64) {
  CBase64Buffer decoded;
  decoded.Decode(base64.c_str(), static_cast<int>(base64.size()));
  return std::string(decoded.Data(), static_cast<std::size_t>(decoded.Length()));
}

const std::string refusal = R"({"status":"invalid_token","scope":"https://mail.example/"})";

}  // namespace

const char* const saslPlainEhlo = "250-server\r\n250 AUTH LOGIN PLAIN\r\n";

// RFC 4616: one Base64 answer, NUL user NUL password, on the AUTH line.
TEST(AuthSaslPlain, SendsTheInitialResponseAndTheMessageOfEachStep) {
  auto plain = [] { return PeerScript().Expect("AUTH PLAIN AHVzZXIAc2VjcmV0\r\n"); };
  RunDialogues({
      {"accepted", AuthSaslPlain, plain().Send("235 2.7.0 ok\r\n"), 0, ""},
      {"548 refused", AuthSaslPlain, plain().Send("535 5.7.8 invalid\r\n"), Itf(548),
       "535 5.7.8 invalid"},
  }, saslPlainEhlo);
}

// The password is on the AUTH line itself: a server that does not offer PLAIN (one that
// offers AUTH only after STARTTLS among them) never gets it; 565 carries its EHLO reply.
TEST(AuthSaslPlain, NothingIsSentWhereThePlainMechanismIsNotOffered) {
  for (const char* ehlo : {"250-server\r\n250 STARTTLS\r\n", "250-server\r\n250 AUTH LOGIN CRAM-MD5\r\n",
                           "250-server\r\n250-X-PLAIN\r\n250 AUTH PLAINS\r\n"}) {
    SCOPED_TRACE(ehlo);
    auto error = Authenticate(AuthSaslPlain, ehlo, PeerScript());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(565));
    EXPECT_EQ(error->m_sLastResponseText + "\r\n", ehlo);
  }
}

// A command line holds 512 octets with its CR LF: a longer one goes as "AUTH PLAIN"
// and the answer on its own line after the 334.
TEST(AuthSaslPlain, AResponseTooLongForTheCommandLineFollowsA334) {
  // 366 password bytes make a response of 372 bytes, 496 in Base64: a line of 509.
  const std::string fits(366, 'p'), tooLong(367, 'p');
  const std::string fitsLine = "AUTH PLAIN " + Base64Of(std::string("\0user\0", 6) + fits);
  ASSERT_EQ(fitsLine.size() + 2, 509u);
  EXPECT_FALSE(Authenticate(AuthSaslPlain, saslPlainEhlo,
                            PeerScript().Expect(fitsLine + "\r\n").Send("235 ok\r\n"), "user",
                            fits.c_str()));

  const std::string answer = Base64Of(std::string("\0user\0", 6) + tooLong) + "\r\n";
  EXPECT_FALSE(Authenticate(
      AuthSaslPlain, saslPlainEhlo,
      PeerScript().Expect("AUTH PLAIN\r\n").Send("334 \r\n").Expect(answer).Send("235 ok\r\n"),
      "user", tooLong.c_str()));
  auto error = Authenticate(AuthSaslPlain, saslPlainEhlo,
                            PeerScript().Expect("AUTH PLAIN\r\n").Send("504 no\r\n"), "user",
                            tooLong.c_str());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(530));
  EXPECT_EQ(error->m_sLastResponseText, "504 no");
}

namespace {

const char* const bearerEhlo = "250-server\r\n250-AUTH PLAIN XOAUTH2 OAUTHBEARER\r\n250 HELP\r\n";
const char* const xoauth2Ehlo = "250-server\r\n250-AUTH PLAIN XOAUTH2\r\n250 HELP\r\n";

// "user=user^Aauth=Bearer ya29.token^A^A" in Base64.
const std::string xoauth2Line = "AUTH XOAUTH2 dXNlcj11c2VyAWF1dGg9QmVhcmVyIHlhMjkudG9rZW4BAQ==\r\n";

// An AuthOAuth session whose peer takes the AUTH line, whatever it holds, then plays
// exchange; the line is kept (without its CR LF) beside the error and the port, which
// OAUTHBEARER names.
struct OAuthSession {
  std::optional<CTAVSMTPException> error;
  std::string authLine;
  std::uint16_t port = 0;
};

OAuthSession RunOAuth(const PeerScript& exchange, const char* user = "user",
                      const char* token = "ya29.token") {
  ScriptedPeer peer{PeerScript()
                        .Send("220 hi\r\n")
                        .Expect("EHLO client\r\n")
                        .Send(bearerEhlo)
                        .ReadLine()
                        .Then(exchange)
                        .Then(Quit())};
  OAuthSession session{std::nullopt, "", peer.Port()};
  TestClient c;
  try {
    c.ConnectTo(peer.Port(), AuthOAuth, user, token);
    c.Disconnect(true);
  } catch (const CTAVSMTPException& e) {
    session.error = e;
  }
  EXPECT_EQ(peer.Finish(), "");
  const std::string& received = peer.Received();
  std::size_t from = received.find("\r\n") + 2;
  session.authLine = received.substr(from, received.find("\r\n", from) - from);
  return session;
}

std::string BearerResponse(std::uint16_t port, const std::string& user = "user") {
  return "n,a=" + user + ",\x01host=127.0.0.1\x01port=" + std::to_string(port) +
         "\x01" "auth=Bearer ya29.token\x01\x01";
}

}  // namespace

// RFC 7628: the GS2 header with the user ("," and "=" escaped), then host, port and the
// token, each ended by ^A.
TEST(AuthOAuth, OAuthBearerCarriesUserHostPortAndToken) {
  OAuthSession s = RunOAuth(PeerScript().Send("235 2.7.0 ok\r\n"), "a,b=c@example.com");
  EXPECT_FALSE(s.error);
  ASSERT_EQ(s.authLine.rfind("AUTH OAUTHBEARER ", 0), 0u) << s.authLine;
  EXPECT_EQ(Decoded(s.authLine.substr(17)), BearerResponse(s.port, "a=2Cb=3Dc@example.com"));
}

// XOAUTH2 when OAUTHBEARER is not offered, from any AUTH line of the reply.
TEST(AuthOAuth, XOAuth2WhereOnlyItIsOffered) {
  for (const char* ehlo : {xoauth2Ehlo, "250-server\r\n250 AUTH login xoauth2\r\n",
                           "250-AUTH=LOGIN XOAUTH2\r\n250 HELP\r\n"}) {
    SCOPED_TRACE(ehlo);
    EXPECT_FALSE(Authenticate(AuthOAuth, ehlo, PeerScript().Expect(xoauth2Line).Send("235 ok\r\n"),
                              "user", "ya29.token"));
  }
}

TEST(AuthOAuth, WithNeitherMechanismOfferedNothingIsSent) {
  for (std::string ehlo : {"250-server\r\n250-AUTH PLAIN XOAUTH\r\n250 HELP\r\n",
                           "250-server\r\n250-AUTHX XOAUTH2\r\n250 HELP\r\n",
                           "250-server\r\n250-X-OAUTHBEARER\r\n250 HELP\r\n", plainEhlo}) {
    SCOPED_TRACE(ehlo);
    auto error = Authenticate(AuthOAuth, ehlo, PeerScript(), "user", "ya29.token");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Itf(549));
    EXPECT_EQ(error->m_sLastResponseText, ehlo.substr(0, ehlo.size() - 2));
  }
}

// A refused token comes back as a 334 with Base64 JSON; the client answers as the
// mechanism requires (OAUTHBEARER ^A, XOAUTH2 an empty line), the server fails the
// exchange, and the error carries the server's reason.
TEST(AuthOAuth, ARefusedTokenRaisesTheServersReasonOnceTheExchangeIsOver) {
  const std::string challenge = "334 " + Base64Of(refusal) + "\r\n";
  auto xoauth2 = Authenticate(AuthOAuth, xoauth2Ehlo,
                              PeerScript()
                                  .Expect(xoauth2Line)
                                  .Send(challenge)
                                  .Expect("\r\n")
                                  .Send("535 5.7.8 Username and Password not accepted\r\n"),
                              "user", "ya29.token");
  ASSERT_TRUE(xoauth2);
  EXPECT_EQ(xoauth2->m_hrError, Itf(552));
  EXPECT_EQ(xoauth2->m_sLastResponseText,
            refusal + "\r\n535 5.7.8 Username and Password not accepted");
  EXPECT_EQ(std::string(xoauth2->what()), "The server refused the OAuth 2.0 token, Details: " +
                                              refusal +
                                              "\r\n535 5.7.8 Username and Password not accepted");

  OAuthSession bearer =
      RunOAuth(PeerScript().Send(challenge).Expect("AQ==\r\n").Send("535 5.7.8 no\r\n"));
  ASSERT_TRUE(bearer.error);
  EXPECT_EQ(bearer.error->m_hrError, Itf(552));
  EXPECT_EQ(bearer.error->m_sLastResponseText, refusal + "\r\n535 5.7.8 no");
}

TEST(AuthOAuth, OtherRepliesRaiseTheMechanismsMessage) {
  auto xoauth2 = Authenticate(AuthOAuth, xoauth2Ehlo,
                              PeerScript().Expect(xoauth2Line).Send("504 5.5.4 no\r\n"), "user",
                              "ya29.token");
  ASSERT_TRUE(xoauth2);
  EXPECT_EQ(xoauth2->m_hrError, Itf(551));
  EXPECT_EQ(xoauth2->m_sLastResponseText, "504 5.5.4 no");
  OAuthSession bearer = RunOAuth(PeerScript().Send("454 4.7.0 later\r\n"));
  ASSERT_TRUE(bearer.error);
  EXPECT_EQ(bearer.error->m_hrError, Itf(550));
  EXPECT_EQ(bearer.error->m_sLastResponseText, "454 4.7.0 later");
}

// Tokens of a few KiB are common: past the 512 octets of a command line the response
// follows "AUTH XOAUTH2" after a 334. A token of 348 bytes still fits (a line of 509).
TEST(AuthOAuth, ALongTokenFollowsA334) {
  for (std::size_t length : {348u, 349u, 2048u}) {
    SCOPED_TRACE(length);
    const std::string token(length, 't');
    const std::string response = Base64Of("user=user\x01" "auth=Bearer " + token + "\x01\x01");
    PeerScript exchange = length == 348
                              ? PeerScript().Expect("AUTH XOAUTH2 " + response + "\r\n")
                              : PeerScript()
                                    .Expect("AUTH XOAUTH2\r\n")
                                    .Send("334 \r\n")
                                    .Expect(response + "\r\n");
    EXPECT_FALSE(Authenticate(AuthOAuth, xoauth2Ehlo, exchange.Send("235 ok\r\n"), "user",
                              token.c_str()));
  }
  auto error = Authenticate(AuthOAuth, xoauth2Ehlo,
                            PeerScript().Expect("AUTH XOAUTH2\r\n").Send("504 no\r\n"), "user",
                            std::string(2048, 't').c_str());
  ASSERT_TRUE(error);
  EXPECT_EQ(error->m_hrError, Itf(551));

  OAuthSession bearer = RunOAuth(
      PeerScript().Send("334 \r\n").ReadLine().Send("235 ok\r\n"), "user",
      ("ya29." + std::string(2048, 't')).c_str());
  EXPECT_FALSE(bearer.error);
  EXPECT_EQ(bearer.authLine, "AUTH OAUTHBEARER");
}

// CR and LF would end the line of a response, ^A a key/value pair of OAuth's: neither
// is sent (NUL cannot reach a C string).
TEST(AuthInitialResponse, ControlCharactersInTheCredentialsAreRefusedBeforeAnythingIsSent) {
  struct Case {
    std::int32_t mechanism;
    const char* user;
    const char* secret;
  };
  const Case cases[] = {
      {AuthSaslPlain, "user\r\nRSET", "secret"}, {AuthSaslPlain, "user", "sec\nret"},
      {AuthSaslPlain, "user\r", "secret"},       {AuthOAuth, "user\r\nRSET", "token"},
      {AuthOAuth, "user", "tok\ren"},            {AuthOAuth, "us\x01" "er", "token"},
      {AuthOAuth, "user", "token\x01" "auth=x"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.user + std::string("/") + c.secret);
    auto error = Authenticate(c.mechanism, bearerEhlo, PeerScript(), c.user, c.secret);
    ASSERT_TRUE(error);
    EXPECT_EQ(error->m_hrError, Win32(87));
    EXPECT_EQ(error->m_sLastResponseText, "");
  }
}
