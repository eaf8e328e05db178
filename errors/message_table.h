// The engine's message table: one text per failure, ids 512 to 565, raised in the
// interface facility. "%1" in a text stands for the exception's response text.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The ids of the messages that the engine raises, by the step that raises them.
inline constexpr std::uint32_t msgGreeting = 512;
inline constexpr std::uint32_t msgPartBody = 514;
inline constexpr std::uint32_t msgEhlo = 516;
inline constexpr std::uint32_t msgHelo = 517;
inline constexpr std::uint32_t msgQuit = 518;
inline constexpr std::uint32_t msgMailFrom = 519;
inline constexpr std::uint32_t msgData = 520;
inline constexpr std::uint32_t msgEndOfMessage = 521;
inline constexpr std::uint32_t msgRcptTo = 524;
inline constexpr std::uint32_t msgLogin = 525;
inline constexpr std::uint32_t msgLoginUsernameRequest = 526;
inline constexpr std::uint32_t msgLoginUsernameResponse = 527;
inline constexpr std::uint32_t msgLoginPasswordRequest = 528;
inline constexpr std::uint32_t msgLoginPasswordResponse = 529;
inline constexpr std::uint32_t msgPlain = 530;
inline constexpr std::uint32_t msgPlainUsernameRequest = 531;
inline constexpr std::uint32_t msgPlainUsernameResponse = 532;
inline constexpr std::uint32_t msgPlainPasswordRequest = 533;
inline constexpr std::uint32_t msgPlainPasswordResponse = 534;
inline constexpr std::uint32_t msgCramMd5 = 535;
inline constexpr std::uint32_t msgCramMd5Digest = 536;
inline constexpr std::uint32_t msgNtlm = 538;
inline constexpr std::uint32_t msgBase64Decode = 539;
inline constexpr std::uint32_t msgBase64Encode = 540;
// TLS failures; "%1" of their texts is the OpenSSL error text.
inline constexpr std::uint32_t msgCreateSSLSocket = 541;
inline constexpr std::uint32_t msgSocks4ViaSSL = 542;
inline constexpr std::uint32_t msgSocks5ViaSSL = 543;
inline constexpr std::uint32_t msgHttpProxyViaSSL = 544;
inline constexpr std::uint32_t msgConnectViaSSL = 545;
inline constexpr std::uint32_t msgSendViaSSL = 546;
inline constexpr std::uint32_t msgReceiveViaSSL = 547;
// SASL PLAIN with its initial response (RFC 4616) and the OAuth 2.0 bearer mechanisms.
inline constexpr std::uint32_t msgSaslPlainCredentials = 548;
inline constexpr std::uint32_t msgNoOAuthMechanism = 549;
inline constexpr std::uint32_t msgOAuthBearer = 550;
inline constexpr std::uint32_t msgXOAuth2 = 551;
inline constexpr std::uint32_t msgOAuthTokenRefused = 552;
// The program's password command; "%1" names the command and what went wrong.
inline constexpr std::uint32_t msgPasswordCommand = 553;
// The switch to TLS with STARTTLS (RFC 3207).
inline constexpr std::uint32_t msgStartTlsNotOffered = 554;
inline constexpr std::uint32_t msgStartTls = 555;
inline constexpr std::uint32_t msgStartTlsInjection = 556;
// The program's OAuth 2.0 client: "%1" holds the provider's error and description as
// it wrote them, or the reason with the address or path it concerns; never a token.
inline constexpr std::uint32_t msgOAuthProviderError = 557;
inline constexpr std::uint32_t msgOAuthSignInInvalid = 558;
inline constexpr std::uint32_t msgOAuthTokenStore = 559;
inline constexpr std::uint32_t msgOAuthEndpoint = 560;
inline constexpr std::uint32_t msgOAuthSignIn = 561;
inline constexpr std::uint32_t msgOAuthSettings = 562;
// The message against what the server's EHLO reply declares: "%1" gives the message's
// size and the server's limit (SIZE, RFC 1870), or the address and why it cannot go
// out (SMTPUTF8, RFC 6531; IDNA, RFC 5891).
inline constexpr std::uint32_t msgMessageTooLarge = 563;
inline constexpr std::uint32_t msgAddressNotSendable = 564;
inline constexpr std::uint32_t msgSaslPlainNotOffered = 565;

// The text of message id with every "%1" replaced by insert; empty for an id that is
// not in the table. Texts without "%1" ignore insert.
std::string FormatTableMessage(std::uint32_t id, std::string_view insert);
