"""Parses one message file with Python's standard email package, as a mail reader
would, and prints what the reader sees, one item per line, texts as hex of UTF-8:

  headers <names, comma-separated, lower case>
  subject <hex>
  <from|to|cc|reply-to> <hex display name> <hex address>
  <from|to|cc|reply-to>-text <hex decoded value>   (when the parser refuses the addresses)
  multipart <type>
  part <type> <hex file name or -> <hex content>
  content-id <value>                               (after a part that has one)
  defects <count>

Text contents have their line ends as LF. Run with /usr/bin/python3.
"""
import email
import email.header
import email.policy
import sys


def hexed(value):
    if isinstance(value, str):
        value = value.encode("utf-8", "surrogateescape")
    return value.hex() if value else "-"


def main(path):
    with open(path, "rb") as f:
        message = email.message_from_binary_file(f, policy=email.policy.default)
    lines = ["headers " + ",".join(name.lower() for name in message.keys())]
    lines.append("subject " + hexed(str(message["subject"] or "")))
    raw = {name.lower(): value for name, value in message.raw_items()}
    for field in ("from", "to", "cc", "reply-to"):
        if field not in raw:
            continue
        try:
            addresses = message[field].addresses
        except ValueError:  # for instance a display name that decodes to CR or LF
            decoded = email.header.make_header(email.header.decode_header(raw[field]))
            lines.append(f"{field}-text {hexed(str(decoded))}")
            continue
        for address in addresses:
            lines.append(f"{field} {hexed(address.display_name)} {hexed(address.addr_spec)}")
    defects = len(message.defects)
    for part in message.walk():
        defects += len(part.defects) if part is not message else 0
        if part.is_multipart():
            lines.append("multipart " + part.get_content_type())
            continue
        content = part.get_content()
        if isinstance(content, str):
            content = content.replace("\r\n", "\n")
        lines.append(f"part {part.get_content_type()} {hexed(part.get_filename())} {hexed(content)}")
        if part["content-id"] is not None:
            lines.append(f"content-id {part['content-id']}")
    lines.append(f"defects {defects}")
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1])
