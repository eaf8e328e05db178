// CTAVSMTPConnection: the SMTP client engine (RFC 5321); one object holds one
// conversation with one server, plain, over implicit TLS or switched to TLS with
// STARTTLS (RFC 3207), directly or through a SOCKS4, SOCKS5 or HTTP CONNECT proxy.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mime/message.h"
#include "errors/exceptions.h"
#include "net/socket.h"
#include "net/ssl_socket.h"
#include "smtp/ntlm_security_client.h"
#include "smtp/server_extensions.h"

// How the TCP connection is made (m_nProxyType).
enum ProxyType : std::int32_t { ProxyNone = 0, ProxySocks4 = 1, ProxySocks5 = 2, ProxyHttp = 3 };

// The authentication method given to Connect (the AuthMethod setting). Any other value
// greets with EHLO and authenticates nothing.
enum AuthMechanism : std::int32_t {
  AuthNone = 0,       // greet with HELO, no authentication
  AuthCramMd5 = 1,
  AuthLogin = 2,
  AuthPlain = 3,      // the clear-text prompt dialogue, not RFC 4616
  AuthNtlm = 4,
  AuthAutomatic = 5,  // chosen from the AUTH line of the EHLO reply
  AuthSaslPlain = 6,  // PLAIN as RFC 4616: one Base64 initial response
  AuthOAuth = 7,      // an OAuth 2.0 bearer token: OAUTHBEARER, else XOAUTH2
};

// Whether the server's certificate is checked (m_nTLSVerify).
enum TLSVerifyMode : std::int32_t {
  TLSVerifyDefault = -1,  // on with STARTTLS, off with implicit TLS
  TLSVerifyOff = 0,
  TLSVerifyOn = 1,
};

// The heap buffer that ReadReply moves a reply into once it outgrows the caller's
// buffer; it belongs to the caller, and only one is alive at a time.
struct CReplyOverflow {
  std::unique_ptr<char[]> data;
  int capacity = 0;
};

// One message's envelope as the transfer sends it.
struct CEnvelopeCommands {
  std::string mailFrom;                 // the MAIL FROM command line (FormatMailFrom)
  std::vector<std::string> recipients;  // the RCPT TO addresses, in order
  std::int32_t notify = -1;             // the NOTIFY bits of every RCPT TO; -1: none
  // The message's own recipient objects, in the same order, that SendRcptTo is given;
  // empty for the batch, whose envelopes hold addresses only.
  std::vector<const CTAVSMTPAddress*> recipientAddresses;
};

// What follows the DATA reply and depends on nothing the server says: the header block
// with the empty line that ends it, and the body of a message without MIME and parts,
// its PlainBodyText dot-stuffed (none for the others, whose parts go out one by one);
// and, when asked for and known, the size of the whole text as SIZE counts it (RFC 1870).
struct CPreparedData {
  std::string header;
  std::optional<std::string> plainBody;
  std::optional<std::uint64_t> size;
};

class CBatchSource;
struct CBatchEnvelope;
class CMessageBatchSource;
struct CEnvelopeExchange;

class CTAVSMTPConnection : public CNtlmSecurityClient {
 public:
  CTAVSMTPConnection();
  CTAVSMTPConnection(const CTAVSMTPConnection&) = delete;
  CTAVSMTPConnection& operator=(const CTAVSMTPConnection&) = delete;
  // Says QUIT, whatever its outcome, when the connection is still established.
  virtual ~CTAVSMTPConnection();

  // Session (session.cpp). Every operation raises CTAVSMTPException only: a socket
  // failure arrives as its Winsock number in facility 7 with an empty text.

  // "auto" (exactly) takes the local host name, or keeps "auto" when there is none;
  // any other name is stored as it is.
  void SetHeloHostname(const char* name);

  // Opens the transport (plain or, with ssl, implicit TLS; directly or through the
  // proxy of m_nProxyType, after binding to m_sBoundAddress), reads the 220 greeting
  // and says HELO (mechanism AuthNone) or EHLO and authenticates. With m_bStartTLS and
  // not ssl, it says EHLO whatever the mechanism, switches to TLS with STARTTLS, says
  // EHLO again and authenticates as that second reply offers. The server's
  // certificate is checked as m_nTLSVerify, m_sTLSCAFile and m_sTLSFingerprint say
  // (TLSVerification): with m_nTLSVerify TLSVerifyDefault, checked when m_bStartTLS is
  // set (also beside ssl, which then takes its place) and not with ssl alone; a
  // non-empty m_sTLSCAFile or m_sTLSFingerprint always checks. Raises:
  //   87 (facility 7)  m_sHeloHostname holds CR or LF or is longer than 505 octets
  //                    (the HELO line would pass 512), or port (or, with a proxy,
  //                    m_nProxyPort) is outside 1-65535; nothing is sent
  //   facility 7       socket creation, binding, connect or tunnel failure; 10060
  //                    when the connect or a TLS handshake takes longer than
  //                    m_dwTimeout
  //   541              the TLS context or object could not be made; also a CA file
  //                    that cannot be loaded (even beside a pin) or a malformed
  //                    fingerprint, before anything is sent; and, before any
  //                    connection is made, a check asked for (m_nTLSVerify
  //                    TLSVerifyOn, m_sTLSCAFile or m_sTLSFingerprint) with neither
  //                    ssl nor m_bStartTLS, with a text that says to set StartTLS
  //                    (or SSL): the password would otherwise go in clear
  //   542-545          the TLS handshake failed or the certificate was refused (the
  //                    message of the proxy type, 545 direct); the text then names the
  //                    reason and what to set
  //   554              STARTTLS is not in the EHLO reply
  //   555              STARTTLS not answered 220
  //   556              bytes followed the 220 to STARTTLS (the connection is closed
  //                    without QUIT)
  //   512              no 220 greeting; with an m_nProxyType outside 0-3 no
  //                    connection is made, so after m_dwTimeout with an empty text;
  //                    516, 517 and the mechanisms' messages below
  // Every failure closes the transport before it reaches the caller; once the
  // connection stands, after trying QUIT.
  void Connect(const char* host, std::int32_t mechanism, const char* user,
               const char* password, std::int32_t port, bool ssl);
  // EHLO (516 when not answered 250), then authentication by mechanism.
  virtual void ConnectEsmtp(const char* hostName, const char* user, const char* password,
                            std::int32_t mechanism);
  // HELO (517 when not answered 250).
  virtual void ConnectSmtp(const char* hostName);
  // With graceful, says QUIT and expects 221. The transport is always closed. A failed
  // QUIT raises after the close: 518, or a socket error in facility 7. A TLS failure to
  // send QUIT (546) raises at once and leaves the connection established.
  void Disconnect(bool graceful);

  // Command and response channel (reply_reader.cpp)

  // Reads one complete reply: lines "ddd-..." ended by a line "ddd ..." or "ddd" (the
  // code alone, RFC 5321 4.2). The reply is complete once what has arrived ends with
  // CR LF and its last line ends a reply, and it is all of that text; while the replies
  // of pipelined commands are read, each ends with its first line that ends a reply and
  // the bytes behind it begin the next. The text
  // grows in buffer (initialSize bytes), then in heap buffers handed to overflow,
  // each growStep bytes larger than the last. False when the whole reply did not come
  // within m_dwTimeout, the server closed the connection, or the reply grew past 1 MiB;
  // m_sLastReply then holds what had arrived. Raises the socket error in facility 7,
  // or 547 for a TLS failure; m_sLastReply is then unchanged.
  virtual bool ReadReply(char* buffer, int initialSize, CReplyOverflow& overflow,
                         int growStep);
  // True when a complete reply came with this code (or one of these codes). A last
  // line that does not begin with a number gives code 0, which matches nothing.
  virtual bool ExpectReply(int code);
  virtual bool ExpectEitherReply(int code1, int code2);
  // The last reply's lines joined by CR LF, without the final CR LF; after a failed
  // read, the part that had arrived.
  std::string GetLastReply() const;

  // Envelope and message transfer (transfer.cpp), on an established connection.

  // Sends message: MAIL FROM (with RET and ENVID unless message.dsnNotify is -1), one
  // RCPT TO per To, Cc and Bcc recipient in this order, DATA, the header block, the
  // empty line, the body (the message's PlainBodyText dot-stuffed; or, for MIME
  // messages and part trees, SendBodyPart of the root) and the end-of-data line. With
  // DSN and an empty message.dsnEnvelopeId, a new envelope id is stored there; an
  // empty message.messageId is filled with MakeMessageId of the sender's address and
  // m_sHeloHostname. The header block (one BuildHeader call, so its Date) and the plain
  // body are made before MAIL FROM. Where m_serverExtensions offers SIZE, MAIL FROM
  // carries SIZE= with the exact size of the text after DATA (RFC 1870); where it
  // offers SMTPUTF8 and an address of the message is not ASCII, SMTPUTF8 and the
  // addresses in UTF-8 (RFC 6531, 6532); without SMTPUTF8 a domain that is not ASCII
  // goes out as its IDNA A-label, in the commands and the header alike. While the
  // message is sent its address fields hold these forms; the caller's are put back
  // once it returns or raises. Raises:
  //   87 (facility 7)  before anything is sent, when text that goes out unencoded holds
  //                    CR, LF or NUL: an e-mail address (sender, Reply-To, recipient),
  //                    the envelope id (with DSN), the mailer, the Message-ID, an extra
  //                    header line, or a part's type, charset, title, boundary, disposition,
  //                    Content-Base, -ID or -Location; when an e-mail address or the
  //                    Message-ID holds "<" or ">"; when an extra header line is empty
  //                    or starts with "."; when an extra header line or the mailer
  //                    can't be folded into lines of at most 998 characters; or when a
  //                    line that can't be folded would pass its limit: the MAIL FROM
  //                    command (the sender's address, with DSN the envelope id, a new
  //                    one counted as 32) or a RCPT TO command (the recipient's
  //                    address, with DSN its NOTIFY list) longer than 512 octets with
  //                    its CR LF, a Reply-To address longer than 988 octets, a given
  //                    Message-ID longer than 984 (the header lines' limit of 998;
  //                    From, To and Cc lines keep within it once the commands do)
  //   564              before anything is sent, an address that this server cannot
  //                    take: a local part that is not ASCII without SMTPUTF8, a domain
  //                    that is not a valid internationalised domain name; the text
  //                    names the address and the reason
  //   563              before anything is sent, a message larger than the limit that
  //                    the server's SIZE declares; the text gives both
  //   519, 524, 520, 521  MAIL FROM, RCPT TO, DATA, end of data not answered 250
  //                    (RCPT TO also 251, DATA 354, end of data any 2xx), with the
  //                    reply as text
  //   514, 540         a part body that cannot be rendered or sent (SendBodyPart)
  //   facility 7, 546, 547  socket and TLS failures
  // The first failure ends the transfer. The connection stays established, except after
  // a failure between the server's 354 and the end-of-data line: whatever it is (a part
  // body, a socket or TLS error), the connection is then closed at once, without QUIT
  // and without the end-of-data line (m_bConnected is false), so the server discards
  // the message instead of reading a QUIT as its text or delivering it cut.
  // With m_bPipelining set and PIPELINING offered by the server, MAIL FROM and the RCPT
  // TO commands go out as one group (in groups of at most 16 KiB, each read before the
  // next is sent), with DATA in it behind one recipient at most, else sent once every
  // RCPT TO was accepted; their replies are read in order with ExpectReply and
  // ExpectEitherReply, and SendRcptTo is not called. The outcome is the same: the first
  // refusal raises its own message with its own reply as text and as GetLastReply,
  // whatever the server answered to the commands behind it, and the connection stays
  // established, except when DATA behind a refused MAIL FROM or a refused sole
  // recipient is answered 354 (which RFC 2920 3.1 forbids): the connection is then
  // closed at once, without the end of data, so nothing is delivered. After a refused
  // RCPT TO or DATA the next transfer on this connection begins with RSET (519 when
  // RSET is not answered 250).
  void SendMailMessage(CTAVSMTPMessage& message);
  // SendMailMessage, then Disconnect(true). With m_bPipelining and PIPELINING offered,
  // the end-of-data line and QUIT leave in one send and their replies are read in
  // order. Raises what SendMailMessage raises (when the end of data is refused the
  // QUIT has gone too: its reply is read and the connection closed before 521 is
  // raised). Once the end of data is answered 2xx the message is delivered: what
  // Disconnect(true) would raise is returned, not raised.
  std::optional<CTAVSMTPException> SendMailMessageAndQuit(CTAVSMTPMessage& message);
  // Sends every message of source over this established connection, pipelined across
  // messages where m_bPipelining is set and the server offers PIPELINING (the next
  // message's MAIL FROM, RCPT TO and DATA behind the previous end of data; DATA waits
  // for the RCPT TO replies when a message has several recipients). A refused message
  // never stops the ones after it; RSET where RFC 5321 asks for it. Memory stays
  // bounded however many messages: at most two are open at a time. Raises only what
  // ends the connection (socket, TLS, timeout, a reply that cannot be read, a text
  // that fails after the 354, a 354 behind a refused recipient), after Finished has
  // reported that failure for every message still open. See message_batch.h.
  void SendBatch(CBatchSource& source);
  // The MAIL FROM command. With notify -1, no parameters; otherwise RET=FULL or
  // RET=HDRS and ENVID=envelopeId, after filling an empty envelopeId with
  // MakeEnvelopeId().
  virtual std::string FormatMailFrom(const std::string& address, std::int32_t notify,
                                     bool returnFull, std::string& envelopeId);
  // RCPT TO, with NOTIFY unless notify is -1 (bits 1 SUCCESS, 2 FAILURE, 4 DELAY; none
  // of them NEVER); 524 when not answered 250 or 251. SendMailMessage calls it for each
  // recipient with the message's own recipient object when commands go one at a time;
  // pipelined, the lines it would send go out in the group and their replies are
  // checked with ExpectEitherReply (250, 251), without it.
  virtual void SendRcptTo(std::int32_t notify, const CTAVSMTPAddress& recipient);
  // Sends the part's header (not for the root, whose type the message header carries),
  // its body dot-stuffed, each child in order and, with children, its closing boundary.
  // An attachment's body is RenderBody's text, made and sent block by block as the file
  // is read. 514 (empty text) when the body cannot be rendered: an attachment that
  // cannot be opened, is not a regular file or is larger than maxAttachmentSize; 540 for
  // a Base64 text too long for the coder. 514 too for an attachment that, once opened,
  // ends before the size it had then, grows past it, fails to read, or is found written
  // in place once its last block is read (its stamp, CFileStamp, differs from the one
  // taken when it was opened). Called by SendMailMessage, which then closes the
  // connection; the text sent before is not the file's.
  virtual void SendBodyPart(CTAVSMTPBodyPart& part, bool isRoot);

  // Authentication (auth.cpp, auth_initial_response.cpp). Each mechanism raises the
  // message of the step that got an unexpected reply (LOGIN 525-529, PLAIN 530-534,
  // CRAM-MD5 535-536, NTLM 538, SASL PLAIN 530 and 548, OAUTHBEARER 550, XOAUTH2 551),
  // with the reply as text; Base64 failures raise 539 and 540. A failed NTLM exchange
  // raises its security status as the whole HRESULT, with the last reply as text.

  // The mechanism that an upper-cased AUTH parameter list offers, in the order of
  // preference NTLM, CRAM-MD5, LOGIN, PLAIN; AuthAutomatic when none is named.
  virtual std::int32_t SelectAuthMechanism(const std::string& parameters);
  // RFC 2195. A failed HMAC computation raises the system's last error in facility 7.
  virtual void AuthenticateCramMd5(const char* user, const char* password);
  // Prompts "username:" and "password:" (Base64, any letter case) answered in Base64.
  virtual void AuthenticateLogin(const char* user, const char* password);
  // The same prompts and answers in clear text. A user name or password holding CR or
  // LF raises 87 (facility 7) before anything is sent.
  virtual void AuthenticatePlain(const char* user, const char* password);

  // RFC 4616: "AUTH PLAIN" with the Base64 of NUL, user, NUL, password as its initial
  // response (see SendInitialResponse); 548 when not answered 235. A user name or
  // password holding CR or LF raises 87 (facility 7) before anything is sent.
  virtual void AuthenticateSaslPlain(const char* user, const char* password);
  // The bearer token as OAUTHBEARER (RFC 7628) when the EHLO reply offers it, else as
  // XOAUTH2 when offered, else 549 with the EHLO reply as text. A token that the server
  // refuses with an error challenge (334 and Base64 JSON) raises 552 once the exchange
  // has been ended as the mechanism requires; its text is the decoded JSON, CR LF and
  // the server's final reply. A user
  // name or token holding CR, LF or ^A raises 87 (facility 7) before anything is sent.
  virtual void AuthenticateOAuth(const char* user, const char* token);

  // The carriers of the NTLM tokens, in Base64 over "AUTH NTLM", for NtlmAuthenticate.
  // The first token goes on the command line: "AUTH NTLM token"; no reply is read.
  SECURITY_STATUS SendNtlmFirstToken(const unsigned char* token, unsigned length) override;
  // Expects 334 and decodes its argument; SEC_E_INSUFFICIENT_MEMORY, storing nothing,
  // when the token has capacity bytes or more.
  SECURITY_STATUS ReceiveNtlmToken(unsigned char* buffer, unsigned capacity,
                                   unsigned* received) override;
  // Sends the token on a line of its own and expects 235.
  SECURITY_STATUS SendNtlmNextToken(const unsigned char* token, unsigned length) override;

  // Transport (transport.cpp): one byte channel whether plain or TLS.
  // In plain mode every operation goes to m_socket and its failures raise
  // CWSocketException. In TLS mode socket and tunnel failures still arrive as
  // CWSocketException; TLS failures raise CTAVSMTPException in facility 4 with the
  // OpenSSL error text (GetOpenSSLErrorText) as "%1", with the id noted below.

  // Creates the socket, whose connects and sends wait at most m_dwTimeout, and, with
  // m_bSSL or m_bStartTLS, a new context (freeing the previous one) that checks the
  // certificate as TLSVerification says; with m_bSSL also the SSL object. 541 when
  // the context, its trust or the object cannot be made. A transport still open from an
  // earlier attempt is closed first. In TLS mode every receive that OpenSSL makes waits
  // at most m_dwTimeout.
  void CreateTransport();
  // Connects directly (545 when the handshake fails) or through a proxy: SOCKS4 542,
  // SOCKS5 543, HTTP 544. Null user names, passwords and user agents mean none.
  void TransportConnect(const char* host, std::uint16_t port);
  void TransportConnectSocks4(const char* host, std::uint16_t port, const char* proxyHost,
                              std::uint16_t proxyPort, std::uint32_t timeout);
  void TransportConnectSocks5(const char* host, std::uint16_t port, const char* proxyHost,
                              std::uint16_t proxyPort, const char* userName,
                              const char* password, std::uint32_t timeout);
  void TransportConnectHttpProxy(const char* host, std::uint16_t port, const char* proxyHost,
                                 std::uint16_t proxyPort, std::string& reply,
                                 const char* userName, const char* password,
                                 std::uint32_t timeout, const char* userAgent);
  // Sends all length bytes and returns length; 546 when TLS cannot write, 10060
  // (CWSocketException, plain and TLS) when the server takes nothing for m_dwTimeout.
  // Sends nothing
  // for length 0. With more, the rest of a longer text follows at once: pieces are held
  // back, up to 16 KiB together, and leave with the piece that ends the text, in one
  // send (one TLS record); a failure to send them is raised by that later call. A
  // longer piece goes at once, and a plain socket may hold its last bytes back to share
  // a segment with what follows.
  int TransportSend(const char* data, int length, bool more = false);
  // One receive; 0 (plain) when the server has closed. In TLS mode it never waits: -1
  // when no application data is there yet (a record still incomplete), else 547 for a
  // result below 1.
  int TransportReceive(char* buffer, int capacity);
  bool TransportIsReadable(std::uint32_t timeout);
  // One receive on the plain socket that waits for data itself, at most m_dwTimeout
  // (the socket's receive timeout, set when it differs): false when nothing came in
  // that time (a socket that never connected waits it out), else count as
  // TransportReceive gives it. Where data is awaited anyway, it spares the
  // readable-wait's system call.
  bool TransportReceiveWaiting(char* buffer, int capacity, int& count);
  // Shuts TLS down, frees the SSL object and closes the socket. Never raises.
  void TransportClose();

  // The OpenSSL error text of the failure that just happened (it empties the
  // thread's error queue).
  virtual std::string GetOpenSSLErrorText();

  // Data model, in this order; the proxy, binding, timeout, host-name and TLS fields
  // are set by the user of the class before Connect.

  CSSLContextRef m_sslContext;      // the OpenSSL context when TLS is on
  CSSLSocket m_sslSocket;           // the TLS socket over m_socket
  bool m_bSSL = false;              // TLS on; set by Connect
  CWSocket m_socket;                // the TCP socket
  bool m_bConnected = false;        // from the transport connection until Disconnect
  std::string m_sLastReply;         // text of the last reply
  std::string m_sHeloHostname;      // the domain sent with EHLO and HELO
  std::uint32_t m_dwTimeout = 60000;  // ms; bounds a connect, a send, a whole reply
  std::int32_t m_nLastReplyCode = 0;  // code of the last complete reply
  std::int32_t m_nProxyType = ProxyNone;
  std::string m_sProxyServer;       // proxy host name or dotted address
  std::int32_t m_nProxyPort = 1080;
  std::string m_sBoundAddress;      // local address to bind to; empty: none
  std::string m_sProxyUserName;     // empty: no proxy authentication
  std::string m_sProxyPassword;
  std::string m_sUserAgent;         // User-Agent for the HTTP proxy; empty: none
  bool m_bStartTLS = false;         // without ssl: switch to TLS with STARTTLS after EHLO
  std::int32_t m_nTLSVerify = TLSVerifyDefault;  // check the server's certificate
  std::string m_sTLSCAFile;         // PEM file of trusted CAs; empty: the system's store
  std::string m_sTLSFingerprint;    // SHA-256 pin of the certificate; alone decides
  // Pipeline (RFC 2920) where the server offers it; off: one command at a time, each
  // step through its virtual operation.
  bool m_bPipelining = false;
  // The recipient whose RCPT TO the last transfer saw refused (524); empty otherwise.
  std::string m_sRefusedRecipient;
  // What the last EHLO reply offered (after STARTTLS, the second one); none after HELO.
  CServerExtensions m_serverExtensions;

 protected:
  // Sends text, a command or a piece of the message, whole with one TransportSend; a
  // socket failure raises its number in facility 7. more as for TransportSend.
  void SendCommand(std::string_view text, bool more = false);
  // Sees every text that SendCommand is about to send (commands, authentication data
  // and message text alike), so that a subclass can show the dialogue. Does nothing here.
  virtual void OnSendCommand(std::string_view text);
  // ExpectReply (code); raises message with the reply as text when it answers false.
  void ExpectReplyOrRaise(int code, std::uint32_t message);
  // ReadReply with the buffer sizes of ExpectReply: true when a whole reply came.
  bool ReadOneReply();
  // Sends what SendCommand holds back (more), if anything; a socket failure raises its
  // number in facility 7.
  void SendHeldCommands();
  // True when commands are pipelined: m_bPipelining and the server offers PIPELINING.
  bool Pipelines() const;
  // True while the replies of commands sent together are read: ReadReply then ends a
  // reply at its first line that ends one and keeps the bytes behind it for the next.
  bool m_bRepliesPipelined = false;

  // The envelope of a message and its DATA command: RSET first when the last
  // transaction was left open, MAIL FROM, one RCPT TO per recipient (SendRcptTo, or
  // pipelined), DATA. whileAnswered runs once the first commands are sent, before
  // their replies are read; what it throws is thrown on once those replies are read
  // (see WhileAnswered). Raises what SendMailMessage raises for these steps (519,
  // 524, 520 with the reply; socket and TLS failures); a 524 names the recipient in
  // m_sRefusedRecipient. Pipelined behind several recipients, DATA waits for their
  // replies and is not sent after a refusal.
  void SendEnvelope(const CEnvelopeCommands& envelope, const std::function<void()>& whileAnswered);
  // Runs sendText, which sends the message text after the 354 and then its end-of-data
  // line held back (SendCommand with more). Whatever it throws closes the connection
  // at once, without QUIT and without another byte, and is thrown on.
  void SendDataText(const std::function<void()>& sendText);
  // ExpectReply (250) for the reply to the end of data; any other complete 2xx reply
  // counts as well: the server has taken the message (RFC 5321 4.2.1), and calling it a
  // failure would have the caller send it again.
  bool ExpectDelivered();
  // Sends the held-back end of data and reads its reply: 521 when not 2xx. With quit,
  // then as Disconnect(true), with QUIT in the same send where Pipelines(), and
  // returns what Disconnect would raise (see SendMailMessageAndQuit).
  std::optional<CTAVSMTPException> FinishData(bool quit);

 private:
  // The connect step of Connect: bind, then direct or through the configured proxy.
  void ConnectTransport(const char* host, std::int32_t port);
  // The attachment's body for SendBodyPart.
  void SendAttachment(const CTAVSMTPBodyPart& part);
  // EHLO, STARTTLS, the TLS handshake over the same socket, then ConnectEsmtp.
  void ConnectStartTls(const char* host, const char* user, const char* password,
                       std::int32_t mechanism);
  // The handshake after the server's 220 to STARTTLS; on failure the transport is
  // closed without QUIT.
  void SwitchToTls(const char* host);
  // The TLS connect message of the path: 542-544 through a proxy, else 545.
  std::uint32_t TlsConnectMessage() const;
  // A new SSL object over m_socket (541).
  void CreateSSLObject();
  // True when the TLS fields ask for the server's certificate to be checked: m_nTLSVerify
  // on, a CA file or a pin.
  bool AsksForCertificateCheck() const;
  // The check of the server's certificate that the TLS fields ask for.
  CTLSVerification TLSVerification() const;
  // The details of a failed handshake: the certificate check's reason, if any, then
  // the OpenSSL error text.
  std::string TLSFailureText();
  // Says QUIT and returns the failure that Disconnect raises once the transport is
  // closed.
  std::optional<CTAVSMTPException> Quit();
  // Reads the reply to QUIT: the failure that Disconnect raises, if any.
  std::optional<CTAVSMTPException> ReadQuitReply();
  // Disconnect (true), its failure returned.
  std::optional<CTAVSMTPException> DisconnectReturningFailure();
  // SendMailMessage and, with quit, SendMailMessageAndQuit.
  std::optional<CTAVSMTPException> TransferMessage(CTAVSMTPMessage& message, bool quit);
  // The checks of SendMailMessage (87) and its Message-ID filling, before anything is
  // sent; the MAIL FROM command carries SIZE where offered, and SMTPUTF8 with smtpUtf8.
  void PrepareMessage(CTAVSMTPMessage& message, bool smtpUtf8);
  // The envelope of message (FormatMailFrom, the To, Cc and Bcc recipients in order),
  // MAIL FROM with SIZE=size where offered and known, and SMTPUTF8 with smtpUtf8.
  CEnvelopeCommands MessageEnvelope(CTAVSMTPMessage& message, std::optional<std::uint64_t> size = std::nullopt,
                                    bool smtpUtf8 = false);
  // The header block and plain body of message, with withSize its size; see
  // CPreparedData.
  static CPreparedData PrepareData(CTAVSMTPMessage& message, bool withSize);
  // The message text after the 354, without the end-of-data line.
  void SendMessageText(CTAVSMTPMessage& message, const CPreparedData& data);
  friend class CMessageBatchSource;
  // The envelope steps of SendEnvelope one command at a time, and pipelined.
  void SendEnvelopeStepwise(const CEnvelopeCommands& envelope,
                            const std::function<void()>& whileAnswered);
  void SendEnvelopePipelined(const CEnvelopeCommands& envelope,
                             const std::function<void()>& whileAnswered);
  // Runs work (SendEnvelope's whileAnswered) while the server answers the commands just
  // sent. Whatever work throws, readAnswers first reads those answers (a failure there
  // closes the connection), so that the next command never takes a stale reply for its
  // own and the transaction they opened is reset before the next one; then it is thrown
  // on.
  void WhileAnswered(const std::function<void()>& work, const std::function<void()>& readAnswers);
  // Sends the commands of exchange from its next unsent one, up to 16 KiB, in one send.
  void SendCommandGroup(CEnvelopeExchange& exchange);
  // Reads the reply to exchange's next command and notes what it says.
  void ReadEnvelopeReply(CEnvelopeExchange& exchange);
  // Ends a pipelined envelope: raises its first refusal, as its reply, if any.
  void SettleEnvelope(CEnvelopeExchange& exchange);
  // SendBatch's steps (message_batch.cpp).
  struct CBatchState;
  bool NextBatchEnvelope(CBatchSource& source, CBatchState& state);
  void SendBatchMessage(CBatchSource& source, CBatchState& state);
  void SettleBatchEndOfData(CBatchSource& source, CBatchState& state);
  void SendBatchText(CBatchSource& source);
  // The envelope commands of a batch message, its addresses converted as SendMailMessage
  // converts them and MAIL FROM with SIZE and SMTPUTF8 as they apply; raises 87, 563
  // and 564 before anything is sent.
  CEnvelopeCommands BatchEnvelopeCommands(CBatchEnvelope& envelope);
  // Disconnect (true), whose failure nobody is left to hear of.
  void DisconnectQuietly();
  // The mechanism choice and dispatch that follow a successful EHLO.
  void Authenticate(const char* user, const char* password, std::int32_t mechanism);
  // AuthAutomatic is replaced by what the EHLO reply's "250-AUTH " line offers.
  std::int32_t ChooseFromEhloReply();
  // "AUTH mechanism" with response in Base64 as its argument or, when that command line
  // would pass the 512 octets of RFC 4954, alone and the response on a line of its own
  // after a 334 reply (message when the 334 does not come). The reply to the response
  // is left to the caller.
  void SendInitialResponse(std::string_view mechanism, std::string_view response,
                           std::uint32_t message);
  // Sends text, a command line that carries a password or token, as SendCommand, and
  // overwrites it once sent or failed.
  void SendSecretCommand(std::string text);
  // The token was refused with an error challenge, the last reply: sends answer, reads
  // the final reply and raises 552 with the challenge's decoded JSON and that reply.
  [[noreturn]] void RaiseTokenRefused(std::string_view answer);
  // The next bytes of a reply into buffer, count as TransportReceive gives it; false
  // when nothing came before deadline. The first read of a reply on a connected plain
  // socket waits in the receive (TransportReceiveWaiting), any other read after a
  // readable-wait.
  bool ReceiveReplyBytes(char* buffer, int capacity, bool first,
                         std::chrono::steady_clock::time_point deadline, int& count);
  // One send of the whole text, plain or TLS (TransportSend without holding back).
  void SendThrough(const char* data, std::size_t length, bool more);
  // Sends what TransportSend holds back, if anything, and empties it.
  void SendHeldBack(bool more);

  std::string m_sHeldBack;  // pieces of a text whose end has not been sent yet
  std::string m_sReadAhead;  // bytes received behind the last reply: the next ones'
  bool m_bReplyIncomplete = false;  // the last ReadReply ended without a whole reply
  // A MAIL FROM was accepted and its transaction not ended by the end of data: the
  // next one needs RSET first (RFC 5321 4.1.1.5).
  bool m_bResetNeeded = false;
  std::uint32_t m_dwReceiveTimeout = 0;  // ms, last given to m_socket; 0: none given
  std::string m_sServerHost;  // the host and port given to Connect, which OAUTHBEARER
  std::int32_t m_nServerPort = 0;  // names to the server
};

// A new DSN envelope id (RFC 3461 ENVID): the 32 hexadecimal digits of a fresh UUID, in
// upper case.
std::string MakeEnvelopeId();

// True when e is a transfer step's refusal (519 MAIL FROM or RSET, 524, 520, 521), whose
// text is the server's reply, or what had arrived of it; the other failures of a
// transfer (87, 563, 564, 514, a socket or TLS error) were found by the engine itself.
bool IsReplyRefusal(const CTAVSMTPException& e);
