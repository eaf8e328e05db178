/* The practical floor of the peer comparison: an SMTP client (RFC 5321) that does the
 * dialogue e-mailer does and nothing else. It connects (TCP_NODELAY, implicit TLS with
 * OpenSSL's defaults and no certificate check when asked), reads the greeting, says
 * EHLO, then for each message MAIL FROM, RCPT TO, DATA, the text and its end in one
 * write, each step waiting for its reply (no pipelining), and QUIT.
 *
 *   floor_client [-t] [-n count] (-f file | -l bytes) host port
 *
 * -f sends the file's bytes as the message (CR LF lines, no line starting with a dot);
 * -l sends a message of a few header lines and a body of about that many bytes.
 * Exits 0 when every reply had the expected code, 1 otherwise, 2 on a usage error. */
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <openssl/ssl.h>

typedef struct {
  int fd;
  SSL* ssl; /* null for plain TCP */
  char buf[4096];
  size_t len; /* bytes of buf not yet taken by a reply */
} channel;

static int channel_write(channel* ch, const char* data, size_t length) {
  while (length > 0) {
    ssize_t n = ch->ssl ? SSL_write(ch->ssl, data, (int)length)
                        : send(ch->fd, data, length, MSG_NOSIGNAL);
    if (n <= 0) return -1;
    data += n;
    length -= (size_t)n;
  }
  return 0;
}

/* The code of the next complete reply ("ddd-" lines ended by a "ddd " line), or -1. */
static int read_reply(channel* ch) {
  size_t start = 0;
  for (;;) {
    char* eol = memchr(ch->buf + start, '\n', ch->len - start);
    if (eol != NULL) {
      size_t line_end = (size_t)(eol - ch->buf) + 1;
      int last = line_end - start < 5 || ch->buf[start + 3] != '-';
      if (last) {
        int code = atoi(ch->buf + start);
        memmove(ch->buf, ch->buf + line_end, ch->len - line_end);
        ch->len -= line_end;
        return code;
      }
      start = line_end;
      continue;
    }
    if (ch->len == sizeof ch->buf) { /* a long multi-line reply: drop its finished lines */
      if (start == 0) return -1;
      memmove(ch->buf, ch->buf + start, ch->len - start);
      ch->len -= start;
      start = 0;
    }
    ssize_t n = ch->ssl ? SSL_read(ch->ssl, ch->buf + ch->len, (int)(sizeof ch->buf - ch->len))
                        : recv(ch->fd, ch->buf + ch->len, sizeof ch->buf - ch->len, 0);
    if (n <= 0) return -1;
    ch->len += (size_t)n;
  }
}

static int command(channel* ch, const char* text, size_t length, int expected) {
  if (channel_write(ch, text, length) != 0) return -1;
  return read_reply(ch) == expected ? 0 : -1;
}

#define SAY(ch, literal, code) command((ch), literal, sizeof literal - 1, (code))

static int send_message(channel* ch, const char* text, size_t length) {
  if (SAY(ch, "MAIL FROM:<a@b>\r\n", 250) != 0) return -1;
  if (SAY(ch, "RCPT TO:<c@d>\r\n", 250) != 0) return -1;
  if (SAY(ch, "DATA\r\n", 354) != 0) return -1;
  return command(ch, text, length, 250);
}

/* The message with its end-of-data line, ready for one write. */
static char* load_file(const char* path, size_t* length) {
  FILE* f = fopen(path, "rb");
  if (f == NULL) return NULL;
  fseek(f, 0, SEEK_END);
  long size = ftell(f);
  rewind(f);
  char* text = size < 0 ? NULL : malloc((size_t)size + 5);
  if (text != NULL && fread(text, 1, (size_t)size, f) == (size_t)size) {
    *length = (size_t)size;
    const char* end = *length >= 2 && memcmp(text + *length - 2, "\r\n", 2) == 0 ? ".\r\n" : "\r\n.\r\n";
    memcpy(text + *length, end, strlen(end));
    *length += strlen(end);
  } else {
    free(text);
    text = NULL;
  }
  fclose(f);
  return text;
}

/* Header lines like smtp-source's, then lines of 78 characters and CR LF. */
static char* make_message(size_t body_bytes, size_t* length) {
  static const char header[] = "From: <a@b>\r\nTo: <c@d>\r\nSubject: floor\r\n\r\n";
  char* text = malloc(sizeof header + body_bytes + 80 + 5);
  if (text == NULL) return NULL;
  size_t n = sizeof header - 1;
  memcpy(text, header, n);
  for (size_t body = 0, line = 1; body < body_bytes; body += 80, ++line) {
    text[n] = (char)('0' + line % 10);
    memset(text + n + 1, 'X', 77);
    memcpy(text + n + 78, "\r\n", 2);
    n += 80;
  }
  memcpy(text + n, ".\r\n", 3);
  *length = n + 3;
  return text;
}

static int open_channel(channel* ch, SSL_CTX* ctx, const char* host, int port) {
  struct sockaddr_in addr = {.sin_family = AF_INET, .sin_port = htons((uint16_t)port)};
  int one = 1;
  ch->fd = socket(AF_INET, SOCK_STREAM, 0);
  if (ch->fd < 0 || inet_pton(AF_INET, host, &addr.sin_addr) != 1) return -1;
  setsockopt(ch->fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  if (connect(ch->fd, (struct sockaddr*)&addr, sizeof addr) != 0) return -1;
  if (ctx == NULL) return 0;
  ch->ssl = SSL_new(ctx);
  if (ch->ssl == NULL || SSL_set_fd(ch->ssl, ch->fd) != 1) return -1;
  return SSL_connect(ch->ssl) == 1 ? 0 : -1;
}

static int run(channel* ch, const char* text, size_t length, long count) {
  if (read_reply(ch) != 220) return -1;
  if (SAY(ch, "EHLO floor\r\n", 250) != 0) return -1;
  for (long i = 0; i < count; ++i) {
    if (send_message(ch, text, length) != 0) return -1;
  }
  return SAY(ch, "QUIT\r\n", 221);
}

int main(int argc, char* argv[]) {
  int tls = 0, opt;
  long count = 1, body_bytes = -1;
  const char* file = NULL;
  while ((opt = getopt(argc, argv, "tn:f:l:")) != -1) {
    if (opt == 't') tls = 1;
    else if (opt == 'n') count = atol(optarg);
    else if (opt == 'f') file = optarg;
    else if (opt == 'l') body_bytes = atol(optarg);
    else return 2;
  }
  if (argc - optind != 2 || (file == NULL) == (body_bytes < 0) || count < 1) {
    fprintf(stderr, "usage: floor_client [-t] [-n count] (-f file | -l bytes) host port\n");
    return 2;
  }
  size_t length = 0;
  char* text = file != NULL ? load_file(file, &length) : make_message((size_t)body_bytes, &length);
  if (text == NULL) return 1;

  SSL_CTX* ctx = tls ? SSL_CTX_new(TLS_client_method()) : NULL;
  channel ch = {.fd = -1};
  int failed = (tls && ctx == NULL) || open_channel(&ch, ctx, argv[optind], atoi(argv[optind + 1])) != 0 ||
               run(&ch, text, length, count) != 0;
  if (ch.ssl != NULL) {
    SSL_shutdown(ch.ssl);
    SSL_free(ch.ssl);
  }
  if (ch.fd >= 0) close(ch.fd);
  SSL_CTX_free(ctx);
  free(text);
  return failed ? 1 : 0;
}
