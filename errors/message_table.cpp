#include "errors/message_table.h"

namespace {

constexpr std::uint32_t firstMessageId = 512;

constexpr const char* messages[] = {
    "Unexpected SMTP Login response, Last Response: %1",          // 512
    "Failed to get header of body part",                          // 513
    "Failed to get body of body part",                            // 514
    "Failed to ger footer of body part",                          // 515
    "Unexpected EHLO response, Last Response: %1",                // 516
    "Unexpected HELO response, Last Response: %1",                // 517
    "Unexpected QUIT response, Last Response: %1",                // 518
    "Unexpected MAIL FROM response, Last Response: %1",           // 519
    "Unexpected DATA response, Last Response: %1",                // 520
    "Unexpected End of Message response, Last Response: %1",      // 521
    "File too large to mail",                                     // 522
    "Cannot mail 0 byte length file",                             // 523
    "Unexpected RCPT TO response, Last Response: %1",             // 524
    "Unexpected AUTH LOGIN response, Last Response: %1",          // 525
    "Unexpected AUTH LOGIN username request, Last Response: %1",  // 526
    "Unexpected AUTH LOGIN username response, Last Response: %1", // 527
    "Unexpected AUTH LOGIN password request, Last Response: %1",  // 528
    "Unexpected AUTH LOGIN password response, Last Response: %1", // 529
    "Unexpected AUTH PLAIN response, Last Response: %1",          // 530
    "Unexpected AUTH PLAIN username request, Last Response: %1",  // 531
    "Unexpected AUTH PLAIN username response, Last Response: %1", // 532
    "Unexpected AUTH PLAIN password request, Last Response: %1",  // 533
    "Unexpected AUTH PLAIN password response, Last Response: %1", // 534
    "Unexpected CRAM-MD5 response, Last Response: %1",            // 535
    "Unexpected CRAM-MD5 digest response, Last Response: %1",     // 536
    "Failed to perform NTLM authentication",                      // 537
    "Unexpected AUTH NTLM response, Last Response: %1",           // 538
    "Failed to base64 decode data",                               // 539
    "Failed to base64 encode data",                               // 540
    "Failed to create SSL socket, Details: %1",                   // 541
    "Failed to connect to Socks 4 proxy via SSL: Details:%1",     // 542
    "Failed to connect to Socks 5 proxy via SSL: Details:%1",     // 543
    "Failed to connect to HTTP proxy via SSL:Details:%1",         // 544
    "Failed to connect via SSL: Details:%1",                      // 545
    "Failed to send data via SSL: Details:%1",                    // 546
    "Failed to receive data via SSL: Details:%1",                 // 547
    "Unexpected AUTH PLAIN credentials response, Last Response: %1",  // 548
    "Unexpected EHLO response, no OAUTHBEARER or XOAUTH2, Last Response: %1",  // 549
    "Unexpected AUTH OAUTHBEARER response, Last Response: %1",    // 550
    "Unexpected AUTH XOAUTH2 response, Last Response: %1",        // 551
    "The server refused the OAuth 2.0 token, Details: %1",        // 552
    "Failed to get the password from AuthPasswordCommand: %1",    // 553
    "STARTTLS not offered, Last Response: %1",                    // 554
    "Unexpected STARTTLS response, Last Response: %1",            // 555
    "Unexpected data after STARTTLS response, Last Response: %1", // 556
    "The OAuth 2.0 provider refused the request, Details: %1",    // 557
    "The OAuth 2.0 sign-in is no longer valid, run e-mailer --authorize again, Details: %1",  // 558
    "Failed to use the OAuth 2.0 token store, Details: %1",       // 559
    "Failed to reach the OAuth 2.0 provider, Details: %1",        // 560
    "The OAuth 2.0 sign-in failed, Details: %1",                  // 561
    "Invalid OAuth 2.0 settings: %1",                             // 562
    "Message too large for the server, Details: %1",              // 563
    "Address cannot be sent to this server, Details: %1",         // 564
    "AUTH PLAIN not offered, Last Response: %1",                  // 565
};

constexpr std::uint32_t messageCount = sizeof messages / sizeof messages[0];

}  // namespace

std::string FormatTableMessage(std::uint32_t id, std::string_view insert) {
  if (id < firstMessageId || id - firstMessageId >= messageCount) return {};
  std::string_view text = messages[id - firstMessageId];
  std::string result;
  result.reserve(text.size() + insert.size());
  for (std::size_t at = text.find("%1"); at != std::string_view::npos; at = text.find("%1")) {
    result.append(text.substr(0, at)).append(insert);
    text.remove_prefix(at + 2);
  }
  result.append(text);
  return result;
}
