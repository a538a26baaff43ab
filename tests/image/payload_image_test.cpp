// Release images with a payload, made by tools/image/make-installer, as independent tools
// see them: llvm-readobj for the headers, imports and every resource's bytes,
// osslsigncode for the signature, 7-Zip for the demo archive.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "sim/core/process.h"
#include "tests/support/host_command.h"
#include "tests/support/test_machine.h"

namespace {

namespace fs = std::filesystem;
using testing_support::ReadHostFile;
using testing_support::RunHostCommand;
using Bytes = std::string;

const std::string kRepository = SOURCE_DIR;
const std::string kReleaseDir = RELEASE_DIR;
const std::string kDemoImage = kReleaseDir + "/demo/installer.exe";

// (type, name, language) as llvm-readobj names them: "#n" for an integer identifier.
struct ResourceKey {
  std::string type, name;
  int language;
  auto operator<=>(const ResourceKey&) const = default;
};
using Resources = std::map<ResourceKey, Bytes>;

std::string Identifier(const std::string& text) {
  std::smatch match;
  if (std::regex_search(text, match, std::regex("\\(ID (\\d+)\\)"))) return "#" + match[1].str();
  return text;
}

// Every resource of the image with its data, from llvm-readobj's dump.
Resources ReadResources(const std::string& image) {
  const auto result = RunHostCommand({LLVM_READOBJ, "--coff-resources", image});
  EXPECT_EQ(result.exit_status, 0) << result.output;
  Resources resources;
  std::istringstream lines(result.output);
  std::string line, type, name;
  ResourceKey current;
  bool in_data = false;
  const std::regex type_line("^\\s*Type: (.*) \\[$"), name_line("^\\s*Name: (.*) \\[$"),
      language_line("^\\s*Language: \\(ID (\\d+)\\) \\[$"), hex_line("^\\s*[0-9A-F]+: ((?:[0-9A-F]{2})+(?: [0-9A-F]{2,8})*)\\s+\\|");
  std::smatch match;
  while (std::getline(lines, line)) {
    if (in_data) {
      if (std::regex_search(line, match, hex_line)) {
        std::string hex = match[1].str();
        hex.erase(std::remove(hex.begin(), hex.end(), ' '), hex.end());
        for (size_t i = 0; i + 1 < hex.size(); i += 2) {
          resources[current].push_back(static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16)));
        }
      } else if (line.find(')') != std::string::npos) {
        in_data = false;
      }
    } else if (std::regex_match(line, match, type_line)) {
      type = Identifier(match[1]);
    } else if (std::regex_match(line, match, name_line)) {
      name = Identifier(match[1]);
    } else if (std::regex_match(line, match, language_line)) {
      current = {type, name, std::stoi(match[1])};
      resources[current];
    } else if (line.find("Data (") != std::string::npos) {
      in_data = true;
    }
  }
  return resources;
}

std::set<ResourceKey> Keys(const Resources& resources) {
  std::set<ResourceKey> keys;
  for (const auto& [key, data] : resources) keys.insert(key);
  return keys;
}

std::set<ResourceKey> PackagingKeys() {
  return {{"#3", "#1", 1033},  {"#3", "#2", 1033},  {"#3", "#3", 1033}, {"#3", "#4", 1033},
          {"#14", "#107", 1033}, {"#16", "#1", 1033}, {"#24", "#1", 1033}};
}

uint16_t U16(const Bytes& data, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(data.at(at)) | static_cast<uint8_t>(data.at(at + 1)) << 8);
}
uint32_t U32(const Bytes& data, size_t at) { return U16(data, at) | static_cast<uint32_t>(U16(data, at + 2)) << 16; }

std::string Utf16ToAscii(const Bytes& data, size_t at, size_t* end) {
  std::string text;
  for (; U16(data, at) != 0; at += 2) text += static_cast<char>(U16(data, at));
  *end = at + 2;
  return text;
}

// One node of a version block: {wLength, wValueLength, wType, szKey, padding, Value,
// padding, Children}, each starting on a 4-byte boundary.
struct VersionNode {
  std::string key;
  Bytes value;  // raw bytes
  std::vector<VersionNode> children;
};

VersionNode ParseVersionNode(const Bytes& data, size_t start) {
  VersionNode node;
  const size_t length = U16(data, start);
  const size_t value_length = U16(data, start + 2);
  const bool text = U16(data, start + 4) == 1;
  size_t at = 0;
  node.key = Utf16ToAscii(data, start + 6, &at);
  at = (at + 3) & ~size_t{3};
  const size_t value_bytes = text ? value_length * 2 : value_length;  // text counts units
  node.value = data.substr(at, value_bytes);
  at = (at + value_bytes + 3) & ~size_t{3};
  while (at < start + length) {
    node.children.push_back(ParseVersionNode(data, at));
    at = (at + U16(data, at) + 3) & ~size_t{3};
  }
  return node;
}

const VersionNode* Child(const VersionNode& node, const std::string& key) {
  for (const auto& child : node.children) {
    if (child.key == key) return &child;
  }
  return nullptr;
}

std::string TextValue(const Bytes& value) {
  std::string text;
  for (size_t at = 0; at + 1 < value.size() && U16(value, at) != 0; at += 2) text += static_cast<char>(U16(value, at));
  return text;
}

std::string Attribute(const std::string& xml, const std::string& element, const std::string& attribute) {
  std::smatch match;
  const std::regex pattern("<" + element + "\\b[^>]*\\b" + attribute + "=\"([^\"]*)\"");
  return std::regex_search(xml, match, pattern) ? match[1].str() : "(absent)";
}

class ImageBuilder {
 public:
  ImageBuilder() {
    std::string pattern = (fs::temp_directory_path() / "image-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) != nullptr) directory_ = pattern;
  }
  ~ImageBuilder() {
    std::error_code ignored;
    fs::remove_all(directory_, ignored);
  }
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = (directory_ / name).string();
    std::ofstream(path, std::ios::binary) << bytes;
    return path;
  }
  std::string Path(const std::string& name) const { return (directory_ / name).string(); }
  testing_support::HostCommandResult Make(std::vector<std::string> options,
                                          const std::map<std::string, std::string>& environment = {}) {
    std::vector<std::string> command = {kRepository + "/tools/image/make-installer", "--release-dir", kReleaseDir};
    command.insert(command.end(), options.begin(), options.end());
    return RunHostCommand(command, environment);
  }

 private:
  fs::path directory_;
};

TEST(PayloadImageTest, TheDemoImageIsAnArm64GuiImageImportingOnlyTheThreeSystemLibraries) {
  const auto headers = RunHostCommand({LLVM_READOBJ, "--file-headers", kDemoImage});
  EXPECT_NE(headers.output.find("IMAGE_FILE_MACHINE_ARM64"), std::string::npos) << headers.output;
  EXPECT_NE(headers.output.find("IMAGE_SUBSYSTEM_WINDOWS_GUI"), std::string::npos);
  EXPECT_NE(headers.output.find("Magic: 0x20B"), std::string::npos);
  const auto imports = RunHostCommand({LLVM_READOBJ, "--coff-imports", kDemoImage});
  std::set<std::string> dlls;
  const std::regex name("Name: ([^\\n]+\\.dll)");
  for (std::sregex_iterator it(imports.output.begin(), imports.output.end(), name), end; it != end; ++it) {
    dlls.insert((*it)[1]);
  }
  EXPECT_TRUE(dlls.count("kernel32.dll")) << imports.output;
  for (const auto& dll : dlls) {
    EXPECT_TRUE(dll == "kernel32.dll" || dll == "advapi32.dll" || dll == "shell32.dll") << dll;
  }
}

TEST(PayloadImageTest, TheDemoImageCarriesExactlyThePackagingAndItsPayload) {
  const Resources resources = ReadResources(kDemoImage);
  std::set<ResourceKey> expected = PackagingKeys();
  expected.insert({"B7", "PELLORA.PACKED.7Z", 1033});
  expected.insert({"BL", "SETUP.EX_", 1033});
  EXPECT_EQ(Keys(resources), expected);
  EXPECT_EQ(resources.at({"B7", "PELLORA.PACKED.7Z", 1033}), ReadHostFile(kReleaseDir + "/demo/PELLORA.PACKED.7Z"));
  // The setup resource is a cabinet that cabextract expands to the setup stand-in alone.
  ImageBuilder builder;
  const Bytes& packed = resources.at({"BL", "SETUP.EX_", 1033});
  // The one file entry starts where the header's coffFiles (offset 16) says; its attribute
  // word (offset 14 in CFFILE) is 0 as in the release payload, so the stub gives
  // setup.exe no read-only, hidden, system or archive bit.
  ASSERT_GE(packed.size(), 36u);
  const size_t entry = U32(packed, 16);
  ASSERT_GE(packed.size(), entry + 16);
  EXPECT_EQ(U16(packed, entry + 14), 0) << "attribute word of the demo's setup entry";
  const std::string cabinet = builder.Write("SETUP.EX_", packed);
  const auto listed = RunHostCommand({"/usr/bin/cabextract", "-l", cabinet});
  ASSERT_EQ(listed.exit_status, 0) << listed.output;
  EXPECT_NE(listed.output.find("All done, no errors."), std::string::npos) << listed.output;
  EXPECT_NE(listed.output.find("| setup.exe\n"), std::string::npos) << listed.output;
  const auto extracted = RunHostCommand({"/usr/bin/cabextract", "-q", "-d", builder.Path("out"), cabinet});
  ASSERT_EQ(extracted.exit_status, 0) << extracted.output;
  EXPECT_EQ(std::distance(fs::directory_iterator(builder.Path("out")), fs::directory_iterator()), 1);
  const std::string setup = ReadHostFile(builder.Path("out") + "/setup.exe");
  EXPECT_TRUE(setup == ReadHostFile(kReleaseDir + "/demo/setup.exe")) << "not the stripped setup stand-in";
  EXPECT_EQ(setup.substr(0, 4), "\x7f" "ELF");  // the simulated setup program
}

TEST(PayloadImageTest, TheManifestSaysExactlyWhatTheImageNeeds) {
  const Resources resources = ReadResources(kDemoImage);
  const std::string manifest = resources.at({"#24", "#1", 1033});
  EXPECT_EQ(Attribute(manifest, "requestedExecutionLevel", "level"), "asInvoker");
  EXPECT_EQ(Attribute(manifest, "requestedExecutionLevel", "uiAccess"), "false");
  EXPECT_EQ(Attribute(manifest, "assemblyIdentity", "name"), "Microsoft.Windows.Common-Controls");
  EXPECT_EQ(Attribute(manifest, "assemblyIdentity", "version"), "6.0.0.0");
  EXPECT_EQ(Attribute(manifest, "assemblyIdentity", "processorArchitecture"), "*");
  EXPECT_EQ(Attribute(manifest, "assemblyIdentity", "publicKeyToken"), "6595b64144ccf1df");
  EXPECT_EQ(Attribute(manifest, "assemblyIdentity", "language"), "*");
  EXPECT_EQ(Attribute(manifest, "maxversiontested", "Id"), "10.0.18362.0");
  std::set<std::string> systems;
  const std::regex supported("<supportedOS Id=\"([^\"]*)\"");
  for (std::sregex_iterator it(manifest.begin(), manifest.end(), supported), end; it != end; ++it) {
    systems.insert((*it)[1]);
  }
  // The operating-system identifiers as the application-manifest documentation lists them
  // ("Application manifests", supportedOS); a mistyped one is silently ignored by Windows.
  EXPECT_EQ(systems, (std::set<std::string>{
                         "{e2011457-1546-43c5-a5fe-008deee3d3f0}",  // Windows Vista
                         "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}",  // Windows 7
                         "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}",  // Windows 8
                         "{1f676c76-80e1-4239-95bb-83d0f6d0da78}",  // Windows 8.1
                         "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}",  // Windows 10 and 11
                     }));
  // Nothing beyond these: the elements, counted.
  std::multiset<std::string> elements;
  const std::regex element("<([A-Za-z]+)[ >/]");
  for (std::sregex_iterator it(manifest.begin(), manifest.end(), element), end; it != end; ++it) {
    elements.insert((*it)[1]);
  }
  EXPECT_EQ(elements, (std::multiset<std::string>{"assembly", "trustInfo", "security", "requestedPrivileges",
                                                  "requestedExecutionLevel", "dependency", "dependentAssembly",
                                                  "assemblyIdentity", "compatibility", "application",
                                                  "maxversiontested", "supportedOS", "supportedOS", "supportedOS",
                                                  "supportedOS", "supportedOS"}));
}

TEST(PayloadImageTest, TheIconGroupHoldsTheFourImagesInOrder) {
  const Resources resources = ReadResources(kDemoImage);
  const Bytes group = resources.at({"#14", "#107", 1033});
  ASSERT_EQ(group.size(), 6u + 4 * 14);
  EXPECT_EQ(U16(group, 0), 0);
  EXPECT_EQ(U16(group, 2), 1);  // icons
  EXPECT_EQ(U16(group, 4), 4);
  const int sides[] = {16, 32, 48, 256};
  for (int i = 0; i < 4; ++i) {
    SCOPED_TRACE(sides[i]);
    const size_t entry = 6 + 14 * static_cast<size_t>(i);
    EXPECT_EQ(static_cast<uint8_t>(group[entry]), sides[i] % 256);  // 0 stands for 256
    EXPECT_EQ(U16(group, entry + 6), 32);                            // bits per pixel
    EXPECT_EQ(U16(group, entry + 12), i + 1);                        // RT_ICON identifier
    const Bytes image = resources.at({"#3", "#" + std::to_string(i + 1), 1033});
    EXPECT_EQ(U32(group, entry + 8), image.size());
    if (sides[i] == 256) {
      ASSERT_EQ(image.substr(0, 8), "\x89PNG\r\n\x1a\n");
      EXPECT_EQ(image.substr(12, 4), "IHDR");
      EXPECT_EQ(image.substr(16, 8), Bytes("\0\0\1\0\0\0\1\0", 8));  // 256 x 256, big-endian
    } else {
      EXPECT_EQ(U32(image, 0), 40u);  // BITMAPINFOHEADER
      EXPECT_EQ(U32(image, 4), static_cast<uint32_t>(sides[i]));
      EXPECT_EQ(U32(image, 8), static_cast<uint32_t>(2 * sides[i]));  // image and mask
      EXPECT_EQ(U16(image, 14), 32);
    }
  }
}

TEST(PayloadImageTest, TheCommittedIconIsWhatItsGeneratorDraws) {
  ImageBuilder scratch;
  const auto result = RunHostCommand({MAKE_ICON, scratch.Path("drawn.ico")});
  ASSERT_EQ(result.exit_status, 0) << result.output;
  EXPECT_TRUE(ReadHostFile(scratch.Path("drawn.ico")) == ReadHostFile(kRepository + "/resources/pellora.ico"));
}

TEST(PayloadImageTest, TheVersionBlockCarriesItsFixedPartKeysAndTranslation) {
  ImageBuilder builder;
  const auto made = builder.Make({"--archive", builder.Write("a.7z", "7z-bytes"), "--archive-type", "B7", "--setup",
                                  builder.Write("s.exe", "MZ-setup"), "--setup-type", "BN", "--version", "3.14.15.92",
                                  "--source-version", "abc123", "--last-change", "r4567", "--official-build", "1",
                                  "--output", builder.Path("installer.exe")});
  ASSERT_EQ(made.exit_status, 0) << made.output;
  const Resources resources = ReadResources(builder.Path("installer.exe"));
  const VersionNode root = ParseVersionNode(resources.at({"#16", "#1", 1033}), 0);
  EXPECT_EQ(root.key, "VS_VERSION_INFO");
  ASSERT_EQ(root.value.size(), 52u);
  EXPECT_EQ(U32(root.value, 0), 0xFEEF04BDu);
  EXPECT_EQ(U32(root.value, 8), (3u << 16) | 14u);   // file version, high
  EXPECT_EQ(U32(root.value, 12), (15u << 16) | 92u);  // and low
  EXPECT_EQ(U32(root.value, 16), (3u << 16) | 14u);  // product version
  EXPECT_EQ(U32(root.value, 20), (15u << 16) | 92u);
  EXPECT_EQ(U32(root.value, 24), 0x17u);  // flags mask
  EXPECT_EQ(U32(root.value, 28), 0u);     // flags
  EXPECT_EQ(U32(root.value, 32), 0x4u);   // VOS__WINDOWS32
  EXPECT_EQ(U32(root.value, 36), 0x1u);   // VFT_APP

  const VersionNode* strings = Child(root, "StringFileInfo");
  ASSERT_NE(strings, nullptr);
  ASSERT_EQ(strings->children.size(), 1u);
  const VersionNode& table = strings->children[0];
  EXPECT_EQ(table.key, "040904b0");
  std::map<std::string, std::string> values;
  for (const auto& entry : table.children) values[entry.key] = TextValue(entry.value);
  const std::map<std::string, std::string> expected = {
      {"CompanyName", "Pellora Software"},
      {"FileDescription", "Pellora Installer"},
      {"FileVersion", "3.14.15.92"},
      {"InternalName", "installer"},
      {"LegalCopyright", "Copyright 2026 Pellora Software. All rights reserved."},
      {"ProductName", "Pellora"},
      {"ProductVersion", "3.14.15.92"},
      {"SourceVersion", "abc123"},
      {"CompanyShortName", "Pellora"},
      {"ProductShortName", "Pellora"},
      {"LastChange", "r4567"},
      {"Official Build", "1"},
  };
  EXPECT_EQ(values, expected);

  const VersionNode* variables = Child(root, "VarFileInfo");
  ASSERT_NE(variables, nullptr);
  const VersionNode* translation = Child(*variables, "Translation");
  ASSERT_NE(translation, nullptr);
  ASSERT_EQ(translation->value.size(), 4u);
  EXPECT_EQ(U16(translation->value, 0), 0x0409);
  EXPECT_EQ(U16(translation->value, 2), 1200);
}

TEST(PayloadImageTest, ThePayloadSitsUnderItsTypesAndNamesAndThePreviousVersionOnlyWhenAsked) {
  struct Case {
    std::string archive_type, setup_type;
    std::vector<std::string> extra;  // further options
    std::string setup_name;          // as stored
    const char* previous;            // null: no RT_RCDATA 1
  } cases[] = {
      {"B7", "BL", {"--setup-cabinet"}, "SETUP.EX_", nullptr},
      {"BN", "B7", {"--previous-version", "4.2.1.7"}, "SETUP.PATCH", "4.2.1.7"},
      {"BL", "BN", {"--setup-name", "setup", "--previous-version", ""}, "SETUP", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.archive_type + "/" + c.setup_type);
    ImageBuilder builder;
    const Bytes archive = std::string("7z\xBC\xAF\x27\x1C", 6) + c.archive_type;
    const Bytes setup = "setup under " + c.setup_type;
    std::vector<std::string> options = {"--archive", builder.Write("a.7z", archive), "--archive-type", c.archive_type,
                                        "--setup", builder.Write("s.bin", setup), "--setup-type", c.setup_type,
                                        "--output", builder.Path("installer.exe")};
    options.insert(options.end(), c.extra.begin(), c.extra.end());
    const auto made = builder.Make(options);
    ASSERT_EQ(made.exit_status, 0) << made.output;
    const Resources resources = ReadResources(builder.Path("installer.exe"));
    std::set<ResourceKey> expected = PackagingKeys();
    expected.insert({c.archive_type, "PELLORA.PACKED.7Z", 1033});
    expected.insert({c.setup_type, c.setup_name, 1033});
    if (c.previous != nullptr) expected.insert({"#10", "#1", 1033});
    EXPECT_EQ(Keys(resources), expected);
    EXPECT_EQ(resources.at({c.archive_type, "PELLORA.PACKED.7Z", 1033}), archive);
    EXPECT_EQ(resources.at({c.setup_type, c.setup_name, 1033}), setup);
    if (c.previous != nullptr) {
      Bytes utf16;
      for (const char* p = c.previous; *p != 0; ++p) utf16 += Bytes{*p, '\0'};
      utf16 += Bytes(2, '\0');  // the terminator belongs to the resource
      EXPECT_EQ(resources.at({"#10", "#1", 1033}), utf16);
    }
  }
}

TEST(PayloadImageTest, TheSignatureVerifiesWithTheThrowawayAndWithAGivenCertificate) {
  const auto demo = RunHostCommand(
      {OSSLSIGNCODE, "verify", "-CAfile", kReleaseDir + "/demo/signing-cert.pem", "-in", kDemoImage});
  EXPECT_EQ(demo.exit_status, 0) << demo.output;
  EXPECT_NE(demo.output.find("Signature verification: ok"), std::string::npos) << demo.output;

  ImageBuilder builder;
  const auto certificate = RunHostCommand(
      {OPENSSL, "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj", "/CN=Pellora Release Test",
       "-addext", "extendedKeyUsage=codeSigning", "-keyout", builder.Path("key.pem"), "-out", builder.Path("cert.pem")});
  ASSERT_EQ(certificate.exit_status, 0) << certificate.output;
  const auto made = builder.Make({"--archive", builder.Write("a.7z", "7z"), "--archive-type", "B7", "--setup",
                                  builder.Write("s.exe", "MZ"), "--setup-type", "BN", "--certificate",
                                  builder.Path("cert.pem"), "--key", builder.Path("key.pem"), "--output",
                                  builder.Path("installer.exe")});
  ASSERT_EQ(made.exit_status, 0) << made.output;
  const auto verified =
      RunHostCommand({OSSLSIGNCODE, "verify", "-CAfile", builder.Path("cert.pem"), "-in", builder.Path("installer.exe")});
  EXPECT_EQ(verified.exit_status, 0) << verified.output;
  EXPECT_NE(verified.output.find("Pellora Release Test"), std::string::npos) << verified.output;
  // The certificate table is the last thing in the file.
  const auto headers = RunHostCommand({LLVM_READOBJ, "--file-headers", builder.Path("installer.exe")});
  std::smatch match;
  ASSERT_TRUE(std::regex_search(headers.output, match,
                                std::regex("CertificateTableRVA: 0x([0-9A-F]+)\\s+CertificateTableSize: 0x([0-9A-F]+)")))
      << headers.output;
  const auto end = std::stoul(match[1], nullptr, 16) + std::stoul(match[2], nullptr, 16);
  EXPECT_EQ(end, fs::file_size(builder.Path("installer.exe")));

  // A file that is not the signed image does not verify.
  std::string tampered = ReadHostFile(builder.Path("installer.exe"));
  tampered[0x400] = static_cast<char>(tampered[0x400] ^ 0xFF);
  builder.Write("tampered.exe", tampered);
  const auto refused =
      RunHostCommand({OSSLSIGNCODE, "verify", "-CAfile", builder.Path("cert.pem"), "-in", builder.Path("tampered.exe")});
  EXPECT_NE(refused.exit_status, 0) << refused.output;
}

TEST(PayloadImageTest, ABlSetupProgramGoesThroughTheCabinetMaker) {
  ImageBuilder builder;
  // A stand-in maker that marks what it was given, so the test sees it was used.
  const std::string maker = builder.Write("maker", "#!/bin/sh\n{ printf 'CABINET:'; cat \"$1\"; } > \"$2\"\n");
  fs::permissions(maker, fs::perms::owner_all);
  const std::vector<std::string> options = {"--archive", builder.Write("a.7z", "7z"), "--archive-type", "B7",
                                            "--setup", builder.Write("setup.exe", "MZ-program"), "--setup-type", "BL",
                                            "--output", builder.Path("installer.exe")};
  const auto made = builder.Make(options, {{"PELLORA_CABINET_MAKER", maker}});
  ASSERT_EQ(made.exit_status, 0) << made.output;
  const Resources resources = ReadResources(builder.Path("installer.exe"));
  EXPECT_EQ(resources.at({"BL", "SETUP.EX_", 1033}), "CABINET:MZ-program");

  fs::remove(builder.Path("installer.exe"));
  const auto refused = builder.Make(options, {{"PELLORA_CABINET_MAKER", builder.Path("no-maker")}});
  EXPECT_NE(refused.exit_status, 0);
  EXPECT_NE(refused.output.find("--setup-cabinet"), std::string::npos) << refused.output;
  EXPECT_FALSE(fs::exists(builder.Path("installer.exe")));
}

// The image side of reading a signed image's resources in the simulated Windows: the
// process that stands for the image maps all of it, certificate table included, so the
// resource functions read the signed bytes in place.
TEST(PayloadImageTest, TheSignedImageIsMappedWholeAsTheProcesssModule) {
  ImageBuilder builder;
  const auto made = builder.Make({"--archive", builder.Write("a.7z", "7z-bytes"), "--archive-type", "B7", "--setup",
                                  builder.Write("s.exe", "MZ-setup"), "--setup-type", "BN", "--output",
                                  builder.Path("installer.exe")});
  ASSERT_EQ(made.exit_status, 0) << made.output;
  testing_support::TestMachine machine;
  const Bytes signed_image = ReadHostFile(builder.Path("installer.exe"));
  machine.WriteFile(u"C:\\Users\\Demo\\Downloads\\installer.exe", signed_image);
  sim::ProcessOptions options;
  options.image = u"C:\\Users\\Demo\\Downloads\\installer.exe";
  sim::Process& process = machine.Start(options);
  ASSERT_NE(process.image_base(), nullptr);
  ASSERT_EQ(process.image_size(), signed_image.size());
  EXPECT_TRUE(Bytes(reinterpret_cast<const char*>(process.image_base()), process.image_size()) == signed_image);
}

TEST(PayloadImageTest, TheCommandRefusesWhatCannotMakeAnImage) {
  ImageBuilder builder;
  const std::string archive = builder.Write("a.7z", "7z");
  const std::string setup = builder.Write("s.exe", "MZ");
  const std::string empty = builder.Write("empty", "");
  struct Case {
    const char* what;
    std::vector<std::string> options;
  } cases[] = {
      {"unknown type", {"--archive", archive, "--archive-type", "B8", "--setup", setup, "--setup-type", "BN"}},
      {"empty resource", {"--archive", empty, "--archive-type", "B7", "--setup", setup, "--setup-type", "BN"}},
      {"archive name", {"--archive", archive, "--archive-type", "B7", "--archive-name", "setup.7z", "--setup", setup,
                        "--setup-type", "BN"}},
      {"setup name", {"--archive", archive, "--archive-type", "B7", "--setup", setup, "--setup-type", "BN",
                      "--setup-name", "installer"}},
      {"certificate without key", {"--archive", archive, "--archive-type", "B7", "--setup", setup, "--setup-type",
                                   "BN", "--certificate", archive}},
  };
  for (const auto& c : cases) {
    std::vector<std::string> options = c.options;
    options.insert(options.end(), {"--output", builder.Path("installer.exe")});
    const auto made = builder.Make(options);
    EXPECT_NE(made.exit_status, 0) << c.what;
    EXPECT_NE(made.output.find("make-installer: "), std::string::npos) << c.what << ": " << made.output;
    EXPECT_FALSE(fs::exists(builder.Path("installer.exe"))) << c.what;
  }
}

TEST(PayloadImageTest, TheDemoArchiveIsA7zArchiveOfOneEntryPackedWithBcj2AndLzma) {
  const std::string archive = kReleaseDir + "/demo/PELLORA.PACKED.7Z";
  const auto listing = RunHostCommand({SEVEN_ZIP, "l", "-slt", archive});
  ASSERT_EQ(listing.exit_status, 0) << listing.output;
  const std::string entries = listing.output.substr(listing.output.find("----------"));
  std::vector<std::string> paths;
  const std::regex path("\\nPath = ([^\\n]*)");
  for (std::sregex_iterator it(entries.begin(), entries.end(), path), end; it != end; ++it) paths.push_back((*it)[1]);
  EXPECT_EQ(paths, std::vector<std::string>{"pellora.7z"});
  EXPECT_NE(listing.output.find("\nType = 7z\n"), std::string::npos) << listing.output;
  std::smatch method;
  ASSERT_TRUE(std::regex_search(entries, method, std::regex("\\nMethod = ([^\\n]*)")));
  std::set<std::string> coders;
  std::istringstream words(method[1].str());
  for (std::string word; words >> word;) coders.insert(word.substr(0, word.find(':')));
  EXPECT_EQ(coders, (std::set<std::string>{"BCJ2", "LZMA"})) << method[1];
  // Signature and format version 0.4.
  EXPECT_EQ(ReadHostFile(archive).substr(0, 8), std::string("7z\xBC\xAF\x27\x1C\x00\x04", 8));
}

}  // namespace
