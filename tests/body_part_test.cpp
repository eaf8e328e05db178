// Addresses and body parts: header text, copies and the part tree, the part header
// templates, encoded bodies and attachment files, whole and streamed.
#include <sys/stat.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <optional>
#include <random>
#include <string>

#include <gtest/gtest.h>

#include "codec/base64.h"
#include "mime/address.h"
#include "mime/attachment_stream.h"
#include "mime/body_part.h"
#include "platform/last_error.h"
#include "tests/support/locale_fixture.h"
#include "tests/support/scratch_directory.h"

namespace {

std::string RandomBytes(std::size_t n, unsigned seed) {
  std::mt19937 rng(seed);
  std::string s(n, '\0');
  for (char& c : s) c = static_cast<char>(rng());
  return s;
}

std::string Base64Lines(const std::string& bytes) {
  CBase64Buffer b;
  b.Encode(reinterpret_cast<const unsigned char*>(bytes.data()), static_cast<int>(bytes.size()), 0);
  return b.Data();
}

// A sparse file of the given size: no disk space, instant to make.
std::string SparseFile(const ScratchDirectory& dir, const std::string& name, std::uintmax_t size) {
  std::string file = dir.Write(name, "");
  std::filesystem::resize_file(file, size);
  return file;
}

}  // namespace

TEST(Address, RendersAsHeaderText) {
  test_locale::UseLatin1();
  struct AddressCase {
    CTAVSMTPAddress address;
    bool encode;
    std::string charset;
    std::string expected;
  };
  const AddressCase cases[] = {
      {{"", "a@example.com"}, true, "iso-8859-1", "a@example.com"},
      {{"", ""}, true, "iso-8859-1", ""},
      {{"John Doe", "j@example.com"}, true, "iso-8859-1", "John Doe <j@example.com>"},
      // Specials make a quoted string, with backslash and quote escaped.
      {{"Doe, \"J\" <x>", "j@example.com"}, true, "iso-8859-1", "\"Doe, \\\"J\\\" <x>\" <j@example.com>"},
      {{"J. Doe \\ Jr", "j@example.com"}, true, "iso-8859-1", "\"J. Doe \\\\ Jr\" <j@example.com>"},
      {{"Ops; <team>", "o@example.com"}, false, "iso-8859-1", "Ops; <team> <o@example.com>"},
      // What a reader would take for an encoded word is encoded itself.
      {{"=?x?q?y?=", "j@example.com"}, true, "iso-8859-1", "=?iso-8859-1?q?=3D=3Fx=3Fq=3Fy=3F=3D?= <j@example.com>"},
      {{"Caf\xE9", "c@example.com"}, true, "iso-8859-1", "=?iso-8859-1?q?Caf=E9?= <c@example.com>"},
      // Encoded words in a name escape every special; plain atoms stay beside them.
      {{"M\xFCller, J\xF6rg", "m@example.com"}, true, "iso-8859-1",
       "=?iso-8859-1?q?M=FCller=2C_J=F6rg?= <m@example.com>"},
      {{"J\xF6rg Smith (IT)", "m@example.com"}, true, "iso-8859-1",
       "=?iso-8859-1?q?J=F6rg?= Smith =?iso-8859-1?q?=28IT=29?= <m@example.com>"},
      {{"Caf\xE9", "c@example.com"}, true, "UTF-8", "=?UTF-8?q?Caf=C3=A9?= <c@example.com>"},
      {{"Caf\xE9", "c@example.com"}, false, "UTF-8", "Caf\xE9 <c@example.com>"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.address.ToHeaderText(c.encode, c.charset), c.expected) << c.expected;
  }
}

TEST(Address, CopiesAreIndependent) {
  CTAVSMTPAddress source("Name", "n@example.com");
  CTAVSMTPAddress copy = source;
  copy.displayName = "Other";
  copy.emailAddress = "o@example.com";
  EXPECT_EQ(source.displayName, "Name");
  EXPECT_EQ(source.emailAddress, "n@example.com");
  CTAVSMTPAddress empty;
  EXPECT_TRUE(empty.displayName.empty() && empty.emailAddress.empty());
}

TEST(BodyPart, DefaultsAndFreshBoundaries) {
  CTAVSMTPBodyPart a, b;
  EXPECT_EQ(a.contentType, "text/plain");
  EXPECT_EQ(a.charset, "iso-8859-1");
  EXPECT_TRUE(a.quotedPrintable);
  EXPECT_FALSE(a.base64);
  EXPECT_EQ(a.ChildCount(), 0);
  EXPECT_EQ(a.parent, nullptr);
  EXPECT_EQ(a.maxAttachmentSize, 52428800u);
  ASSERT_EQ(a.boundary.size(), 36u);
  for (std::size_t i = 0; i < 36; ++i) {
    const char c = a.boundary[i];
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    EXPECT_TRUE(hyphen ? c == '-' : (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')) << a.boundary;
  }
  EXPECT_NE(a.boundary, b.boundary);
}

TEST(BodyPart, SetBodyTextMakesEveryLineEndCrLf) {
  const std::pair<std::string, std::string> cases[] = {
      {"a\rb\nc\r\nd", "a\r\nb\r\nc\r\nd"},
      {"\r\r\n\n", "\r\n\r\n\r\n"},
      {"\n\r", "\r\n\r\n"},
      {"no end", "no end"},
      {"end\r", "end\r\n"},
  };
  for (const auto& [input, expected] : cases) {
    CTAVSMTPBodyPart part;
    part.contentType = "text/html";
    part.SetBodyText(input);
    EXPECT_EQ(part.text, expected);
    EXPECT_EQ(part.contentType, "text/plain");
  }
}

TEST(BodyPart, CopiesKeepTheBoundaryAndDeepCopyChildren) {
  CTAVSMTPBodyPart outer;
  CTAVSMTPBodyPart source;
  source.parent = &outer;
  source.text = "text";
  source.contentId = "<id>";
  source.base64 = true;
  source.maxAttachmentSize = 10;
  source.AddChild(CTAVSMTPBodyPart());
  source.AddChild(CTAVSMTPBodyPart());
  ASSERT_TRUE(source.RenderBody(false).has_value());

  CTAVSMTPBodyPart copy(source);
  EXPECT_EQ(copy.boundary, source.boundary);
  EXPECT_EQ(copy.parent, nullptr);  // no parent until it is added to one
  EXPECT_EQ(copy.text, "text");
  EXPECT_EQ(copy.contentId, "<id>");
  EXPECT_TRUE(copy.base64);
  EXPECT_EQ(copy.maxAttachmentSize, 10u);
  EXPECT_EQ(copy.encodedBody.Data(), nullptr);  // a copy starts with no encoded body
  ASSERT_EQ(copy.ChildCount(), 2);
  for (int i = 0; i < 2; ++i) {
    EXPECT_NE(copy.ChildAt(i), source.ChildAt(i));
    EXPECT_EQ(copy.ChildAt(i)->parent, &copy);
    EXPECT_EQ(copy.ChildAt(i)->boundary, source.ChildAt(i)->boundary);
  }
}

TEST(BodyPart, AddChildGivesEveryLevelItsOwnParent) {
  CTAVSMTPBodyPart root, middle;
  middle.AddChild(CTAVSMTPBodyPart());
  middle.AddChild(CTAVSMTPBodyPart());
  EXPECT_EQ(root.AddChild(middle), 0);
  EXPECT_EQ(root.AddChild(middle), 1);
  CTAVSMTPBodyPart* added = root.ChildAt(1);
  EXPECT_EQ(added->parent, &root);
  ASSERT_EQ(added->ChildCount(), 2);
  EXPECT_EQ(added->ChildAt(0)->parent, added);
  EXPECT_EQ(added->ChildAt(1)->parent, added);
  EXPECT_EQ(middle.ChildAt(0)->parent, &middle);
}

TEST(BodyPart, AssignmentReplacesChildrenEvenFromItsOwnSubtree) {
  CTAVSMTPBodyPart target;
  target.AddChild(CTAVSMTPBodyPart());
  CTAVSMTPBodyPart grandchild;
  grandchild.text = "deep";
  target.ChildAt(0)->AddChild(grandchild);
  const std::string childBoundary = target.ChildAt(0)->boundary;

  target = *target.ChildAt(0);  // the source lives in the children being replaced
  EXPECT_EQ(target.boundary, childBoundary);
  ASSERT_EQ(target.ChildCount(), 1);
  EXPECT_EQ(target.ChildAt(0)->text, "deep");
  EXPECT_EQ(target.ChildAt(0)->parent, &target);

  CTAVSMTPBodyPart& self = target;
  target = self;
  EXPECT_EQ(target.ChildCount(), 1);
}

// A copy of a child taken out of its tree has no parent, so it renders after the tree
// is gone (the sanitizer build reads freed memory otherwise); added again, it gets one.
TEST(BodyPart, CopyOfAChildOutlivesItsTree) {
  std::optional<CTAVSMTPBodyPart> copy;
  CTAVSMTPBodyPart assigned;
  assigned.boundary = "mine";
  {
    auto tree = std::make_unique<CTAVSMTPBodyPart>();
    tree->AddChild(CTAVSMTPBodyPart());
    copy.emplace(*tree->ChildAt(0));
    CTAVSMTPBodyPart other;
    other.AddChild(CTAVSMTPBodyPart());
    other.ChildAt(0)->AddChild(assigned);
    *other.ChildAt(0)->ChildAt(0) = *tree->ChildAt(0);  // keeps its own place in other
    EXPECT_EQ(other.ChildAt(0)->ChildAt(0)->parent, other.ChildAt(0));
  }
  EXPECT_EQ(copy->parent, nullptr);
  EXPECT_TRUE(copy->RenderHeader().starts_with("\r\n--\r\nContent-Type: text/plain;"));
  CTAVSMTPBodyPart root;
  root.boundary = "R";
  root.AddChild(*copy);
  EXPECT_TRUE(root.ChildAt(0)->RenderHeader().starts_with("\r\n--R\r\n"));
}

// Whoever set the text, it goes out with CR LF line ends; a text the flags would send
// as it is goes quoted-printable (and says so) when it holds 8-bit bytes or a line over
// 998 octets; a container's preamble is never declared.
TEST(BodyPart, TextsGoOutWithCrLfLinesOfAtMost998Octets) {
  CTAVSMTPBodyPart parent;
  parent.boundary = "P";
  struct TextCase {
    bool quotedPrintable;
    std::string text, header, body;
  };
  const std::string plainHeader = "\r\n--P\r\nContent-Type: text/plain; charset=iso-8859-1\r\n\r\n";
  const std::string qpHeader = "\r\n--P\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
                               "Content-Transfer-Encoding: quoted-printable\r\n\r\n";
  const TextCase cases[] = {
      {false, "a\n.\rb\r\n", plainHeader, "a\r\n..\r\nb\r\n"},
      {true, "a\n.\rb \n", qpHeader, "a\r\n..\r\nb=20\r\n"},
      {false, std::string(998, 'x'), plainHeader, std::string(998, 'x')},
      {false, std::string(999, 'x'), qpHeader, std::string(75, 'x') + "=\r\n"},
      {false, "caf\xE9\n", qpHeader, "caf=E9\r\n"},
  };
  for (const auto& c : cases) {
    CTAVSMTPBodyPart part;
    parent.AddChild(part);
    CTAVSMTPBodyPart& child = *parent.children.back();
    child.quotedPrintable = c.quotedPrintable;
    child.text = c.text;
    EXPECT_EQ(child.RenderHeader(), c.header) << c.text;
    const auto body = child.RenderBody(true);
    ASSERT_TRUE(body.has_value());
    EXPECT_TRUE(body->starts_with(c.body)) << *body;
  }
  CTAVSMTPBodyPart container;
  container.base64 = true;
  container.text = "preamble\n" + std::string(1200, 'p');
  container.AddChild(CTAVSMTPBodyPart());
  std::string preamble = "preamble\r\n";
  for (int i = 0; i < 15; ++i) preamble += std::string(75, 'p') + "=\r\n";
  EXPECT_EQ(container.RenderBody(true), preamble + std::string(75, 'p'));
  EXPECT_EQ(container.RenderHeader().find("Transfer-Encoding"), std::string::npos);
}

TEST(BodyPart, FindChildByTypeLooksAtDirectChildrenOnly) {
  CTAVSMTPBodyPart root, html, nested, text1, text2;
  html.contentType = "text/html";
  text1.text = "first";
  text2.text = "second";
  nested.contentType = "multipart/alternative";
  nested.AddChild(text1);
  root.AddChild(html);
  root.AddChild(nested);
  EXPECT_EQ(root.FindChildByType("text/plain"), nullptr);  // only a grandchild has it
  root.AddChild(text1);
  root.AddChild(text2);
  ASSERT_NE(root.FindChildByType("text/plain"), nullptr);
  EXPECT_EQ(root.FindChildByType("text/plain")->text, "first");
  EXPECT_EQ(root.FindChildByType("TEXT/HTML"), nullptr);
}

TEST(BodyPart, HeaderTemplates) {
  CTAVSMTPBodyPart parent;
  parent.boundary = "P";
  struct HeaderCase {
    bool attachment, children, base64, quotedPrintable;
    std::string expected;
  };
  const std::string attachmentTail =
      "Content-Transfer-Encoding: base64\r\nContent-Disposition: attachment; filename=\"N\"\r\n\r\n";
  const HeaderCase cases[] = {
      {true, true, false, true,
       "\r\n\r\n--P\r\nContent-Type: T; name=\"N\"; Boundary=\"B\"\r\n" + attachmentTail},
      {true, false, false, false, "\r\n\r\n--P\r\nContent-Type: T; name=\"N\"\r\n" + attachmentTail},
      // A container declares no transfer encoding, whatever its flags.
      {false, true, true, true, "\r\n--P\r\nContent-Type: T; charset=C; Boundary=\"B\"\r\n\r\n"},
      {false, true, false, true, "\r\n--P\r\nContent-Type: T; charset=C; Boundary=\"B\"\r\n\r\n"},
      {false, true, false, false, "\r\n--P\r\nContent-Type: T; charset=C; Boundary=\"B\"\r\n\r\n"},
      {false, false, true, false,
       "\r\n--P\r\nContent-Type: T; charset=C\r\nContent-Transfer-Encoding: base64\r\n\r\n"},
      {false, false, false, true,
       "\r\n--P\r\nContent-Type: T; charset=C\r\nContent-Transfer-Encoding: quoted-printable\r\n\r\n"},
      {false, false, false, false, "\r\n--P\r\nContent-Type: T; charset=C\r\n\r\n"},
  };
  for (const auto& c : cases) {
    CTAVSMTPBodyPart part;
    part.parent = &parent;
    part.boundary = "B";
    part.contentType = "T";
    part.charset = "C";
    part.attachmentTitle = "N";
    part.attachmentPath = c.attachment ? "/some/file" : "";
    part.base64 = c.base64;
    part.quotedPrintable = c.quotedPrintable;
    if (c.children) part.AddChild(CTAVSMTPBodyPart());
    EXPECT_EQ(part.RenderHeader(), c.expected);
  }
}

TEST(BodyPart, DefaultTextPartHeaderAndOptionalLinesInOrder) {
  CTAVSMTPBodyPart parent;
  parent.boundary = "b0";
  parent.AddChild(CTAVSMTPBodyPart());
  CTAVSMTPBodyPart& part = *parent.ChildAt(0);
  EXPECT_EQ(part.RenderHeader(),
            "\r\n--b0\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n\r\n");
  part.contentLocation = "http://example.com/x";
  part.contentId = "<part1@example.com>";
  part.contentBase = "http://example.com/";
  EXPECT_EQ(part.RenderHeader(),
            "\r\n--b0\r\nContent-Type: text/plain; charset=iso-8859-1\r\n"
            "Content-Transfer-Encoding: quoted-printable\r\n"
            "Content-Base: http://example.com/\r\nContent-ID: <part1@example.com>\r\n"
            "Content-Location: http://example.com/x\r\n\r\n");
  part.contentBase.clear();
  EXPECT_EQ(part.RenderHeader().find("Content-Base"), std::string::npos);
  // Values are copied as they are, "%" included.
  part.contentType = "text/%s%d";
  EXPECT_NE(part.RenderHeader().find("Content-Type: text/%s%d; charset="), std::string::npos);
}

TEST(BodyPart, FooterIsFortyTwoCharactersWithoutLineEnd) {
  CTAVSMTPBodyPart part;
  const std::string footer = part.RenderFooter();
  EXPECT_EQ(footer.size(), 42u);
  EXPECT_EQ(footer, "\r\n--" + part.boundary + "--");
}

TEST(BodyPart, TextBodiesByEncoding) {
  test_locale::UseLatin1();
  struct BodyCase {
    bool quotedPrintable, base64, dotStuff;
    std::string charset, text, expected;
  };
  const BodyCase cases[] = {
      {true, false, true, "iso-8859-1", ".\r\na=b \xE9", "..\r\na=3Db =E9"},
      {true, false, false, "iso-8859-1", ".\r\na=b", ".\r\na=3Db"},
      {false, false, true, "iso-8859-1", ".\r\nx\r\n.", "..\r\nx\r\n.."},
      {false, false, false, "iso-8859-1", ".\r\n", ".\r\n"},
      // Base64 wins over quoted-printable and is never dot-stuffed.
      {true, true, true, "iso-8859-1", ".\r\n", "Lg0K"},
      // "utf-8" in any case converts from the code page first.
      {true, false, true, "utf-8", "Caf\xE9", "Caf=C3=A9"},
      {false, true, true, "UTF-8", "\xE9", "w6k="},
      {true, false, true, "iso-8859-1", "", ""},
  };
  for (const auto& c : cases) {
    CTAVSMTPBodyPart part;
    part.quotedPrintable = c.quotedPrintable;
    part.base64 = c.base64;
    part.charset = c.charset;
    part.text = c.text;
    auto body = part.RenderBody(c.dotStuff);
    ASSERT_TRUE(body.has_value());
    EXPECT_EQ(*body, c.expected) << c.text;
    if (c.base64) {
      EXPECT_STREQ(part.encodedBody.Data(), c.expected.c_str());
    }
  }
}

TEST(BodyPart, AttachmentBodyIsTheFilesBase64InLines) {
  ScratchDirectory dir;
  const std::string bytes = RandomBytes(1000, 3);
  CTAVSMTPBodyPart part;
  part.attachmentPath = dir.Write("data.bin", bytes);
  part.text = "ignored";
  auto body = part.RenderBody(true);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(*body, Base64Lines(bytes));
  EXPECT_EQ(body->substr(76, 2), "\r\n");
  EXPECT_STREQ(part.encodedBody.Data(), body->c_str());

  part.attachmentPath = dir.Write("empty.bin", "");
  body = part.RenderBody(true);
  ASSERT_TRUE(body.has_value());
  EXPECT_EQ(*body, "");
}

TEST(BodyPart, UnreadableAttachmentsGiveNoBody) {
  ScratchDirectory dir;
  const std::string fifo = (dir.path / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {(dir.path / "missing").string(), dir.path.string(), fifo}) {
    CTAVSMTPBodyPart part;
    part.attachmentPath = path;
    EXPECT_FALSE(part.RenderBody(true).has_value()) << path;
  }
}

TEST(BodyPart, AttachmentSizeLimit) {
  ScratchDirectory dir;
  CTAVSMTPBodyPart part;
  part.attachmentPath = dir.Write("ten.bin", "0123456789");
  part.maxAttachmentSize = 10;
  EXPECT_TRUE(part.RenderBody(true).has_value());
  part.maxAttachmentSize = 9;
  SetLastError(0);
  EXPECT_FALSE(part.RenderBody(true).has_value());
  EXPECT_EQ(GetLastError(), 87u);
}

// A 32-bit size would see 4 GiB as 0 and 4 GiB + 10 as 10; the whole size is compared,
// and sizes whose Base64 text the coder can't hold are refused before anything is read.
TEST(BodyPart, FilesOfFourGibibytesAndMoreAreRefused) {
  ScratchDirectory dir;
  const std::uintmax_t fourGiB = std::uintmax_t{1} << 32;
  for (std::uintmax_t size : {fourGiB, fourGiB + 10, fourGiB * 3, 3 * (fourGiB / 4)}) {
    CTAVSMTPBodyPart part;
    part.attachmentPath = SparseFile(dir, "sparse.bin", size);
    part.maxAttachmentSize = 0xFFFFFFFF;
    SetLastError(0);
    EXPECT_FALSE(part.RenderBody(true).has_value()) << size;
    EXPECT_EQ(GetLastError(), 87u) << size;
  }
}

namespace {

// The texts that the stream gives for the file, joined; false as soon as Next fails.
bool StreamedText(CAttachmentStream& stream, std::string& joined) {
  std::string_view text;
  while (stream.Next(text)) {
    if (text.empty()) return true;
    joined += text;
  }
  return false;
}

}  // namespace

// Blocks end at line ends, so their texts joined are RenderBody's text of the whole file,
// whether the file ends inside a line, at a line's end or at a block's end.
TEST(AttachmentStream, BlocksJoinedAreTheWholeFilesBase64) {
  ScratchDirectory dir;
  constexpr std::size_t block = CAttachmentStream::blockBytes;
  for (std::size_t size : {std::size_t{0}, std::size_t{1}, std::size_t{56}, std::size_t{57}, block,
                           block + 1, 3 * block + 29}) {
    SCOPED_TRACE(size);
    const std::string bytes = RandomBytes(size, static_cast<unsigned>(size));
    const std::string path = dir.Write("data.bin", bytes);
    CAttachmentStream stream;
    ASSERT_TRUE(stream.Open(path, 0xFFFFFFFF));
    std::string joined;
    ASSERT_TRUE(StreamedText(stream, joined));
    EXPECT_TRUE(joined == Base64Lines(bytes));  // not printed: up to 460 KiB
  }
}

// The stream refuses what RenderBody refuses, except a size whose whole Base64 text would
// outgrow the coder, as the stream never holds it.
TEST(AttachmentStream, OpensWhatRenderBodyCanRead) {
  ScratchDirectory dir;
  const std::string fifo = (dir.path / "fifo").string();
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::string& path : {(dir.path / "missing").string(), dir.path.string(), fifo}) {
    EXPECT_FALSE(CAttachmentStream().Open(path, 0xFFFFFFFF)) << path;
  }
  const std::string ten = dir.Write("ten.bin", "0123456789");
  EXPECT_TRUE(CAttachmentStream().Open(ten, 10));
  SetLastError(0);
  EXPECT_FALSE(CAttachmentStream().Open(ten, 9));
  EXPECT_EQ(GetLastError(), 87u);
  const std::uintmax_t fourGiB = std::uintmax_t{1} << 32;
  SetLastError(0);
  EXPECT_FALSE(CAttachmentStream().Open(SparseFile(dir, "four.bin", fourGiB + 10), 0xFFFFFFFF));
  EXPECT_EQ(GetLastError(), 87u);
  EXPECT_TRUE(CAttachmentStream().Open(SparseFile(dir, "three.bin", 3 * (fourGiB / 4)), 0xFFFFFFFF));
}

// A file cut short after its first block (inside the next block or at its start),
// grown after the last one, or written over at the same size (its times set back
// first, so the write changes them whatever the file system's tick) is not what was
// opened: Next fails instead of ending.
TEST(AttachmentStream, FileThatChangesWhileReadFailsTheStream) {
  ScratchDirectory dir;
  constexpr std::size_t block = CAttachmentStream::blockBytes;
  for (std::size_t cut : {block + 10, block}) {
    SCOPED_TRACE(cut);
    const std::string path = dir.Write("cut.bin", RandomBytes(3 * block, 1));
    CAttachmentStream stream;
    ASSERT_TRUE(stream.Open(path, 0xFFFFFFFF));
    std::string_view text;
    ASSERT_TRUE(stream.Next(text));
    std::filesystem::resize_file(path, cut);
    EXPECT_FALSE(stream.Next(text));
  }
  const std::string path = dir.Write("grown.bin", "abc");
  CAttachmentStream stream;
  ASSERT_TRUE(stream.Open(path, 0xFFFFFFFF));
  std::string_view text;
  ASSERT_TRUE(stream.Next(text));
  EXPECT_EQ(text, "YWJj");
  std::ofstream(path, std::ios::app) << "d";
  EXPECT_FALSE(stream.Next(text));

  const std::string rewritten = dir.Write("rewritten.bin", "abc");
  std::filesystem::last_write_time(rewritten, std::filesystem::last_write_time(rewritten) -
                                                  std::chrono::hours(1));
  ASSERT_TRUE(stream.Open(rewritten, 0xFFFFFFFF));
  ASSERT_TRUE(stream.Next(text));
  std::ofstream(rewritten, std::ios::in | std::ios::out | std::ios::binary) << "xyz";
  EXPECT_EQ(std::filesystem::file_size(rewritten), 3u);
  EXPECT_FALSE(stream.Next(text));
}
