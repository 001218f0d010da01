#include "x3p_files.h"

#include <archive.h>
#include <archive_entry.h>
#include <openssl/evp.h>

#include <cstdio>
#include <stdexcept>

namespace x3ptest {

void write_zip(const std::string& path, const std::vector<Entry>& entries, bool deflate) {
  archive* zip = archive_write_new();
  archive_write_set_format_zip(zip);
  if (deflate) {
    archive_write_zip_set_compression_deflate(zip);
  } else {
    archive_write_zip_set_compression_store(zip);
  }
  if (archive_write_open_filename(zip, path.c_str()) != ARCHIVE_OK) throw std::runtime_error("zip " + path);
  for (const Entry& e : entries) {
    archive_entry* entry = archive_entry_new();
    archive_entry_set_pathname(entry, e.name.c_str());
    archive_entry_set_filetype(entry, AE_IFREG);
    archive_entry_set_perm(entry, 0644);
    archive_entry_set_size(entry, static_cast<la_int64_t>(e.bytes.size()));
    archive_write_header(zip, entry);
    archive_write_data(zip, e.bytes.data(), e.bytes.size());
    archive_entry_free(entry);
  }
  archive_write_close(zip);
  archive_write_free(zip);
}

std::vector<Entry> read_zip(const std::string& path) {
  std::vector<Entry> entries;
  archive* zip = archive_read_new();
  archive_read_support_format_zip_seekable(zip);
  if (archive_read_open_filename(zip, path.c_str(), 65536) != ARCHIVE_OK) {
    archive_read_free(zip);
    throw std::runtime_error("unzip " + path);
  }
  archive_entry* entry = nullptr;
  while (archive_read_next_header(zip, &entry) == ARCHIVE_OK) {
    Entry e{archive_entry_pathname(entry), {}};
    char buffer[65536];
    la_ssize_t got;
    while ((got = archive_read_data(zip, buffer, sizeof buffer)) > 0)
      e.bytes.append(buffer, static_cast<size_t>(got));
    if (got < 0) throw std::runtime_error("unzip part of " + path);
    entries.push_back(std::move(e));
  }
  archive_read_free(zip);
  return entries;
}

std::string md5_hex(const std::string& bytes) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
  std::string text;
  char pair[3];
  for (unsigned i = 0; i < length; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", digest[i]);
    text += pair;
  }
  return text;
}

std::string main_xml(const Description& d, const std::string& data_md5, const std::string& valid_md5) {
  std::string record3 = d.record3_data;
  if (record3.empty()) {
    record3 = "<DataLink><PointDataLink>bindata/data.bin</PointDataLink><MD5ChecksumPointData>" + data_md5 +
              "</MD5ChecksumPointData>";
    if (!valid_md5.empty()) {
      record3 += "<ValidPointsLink>bindata/valid.bin</ValidPointsLink><MD5ChecksumValidPoints>" + valid_md5 +
                 "</MD5ChecksumValidPoints>";
    }
    record3 += "</DataLink>";
  }
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<p:ISO5436_2 xmlns:p=\"http://www.opengps.eu/2008/ISO5436_2\">\n"
         "<Record1><Revision>ISO5436 - 2000</Revision><FeatureType>" +
         d.feature +
         "</FeatureType><Axes>"
         "<CX><AxisType>" +
         d.x_axis + "</AxisType><DataType>D</DataType><Increment>" + d.x_increment +
         "</Increment><Offset>0</Offset></CX>"
         "<CY><AxisType>" +
         d.y_axis + "</AxisType><DataType>D</DataType><Increment>" + d.y_increment +
         "</Increment><Offset>0</Offset></CY>"
         "<CZ><AxisType>A</AxisType><DataType>" +
         d.data_type + "</DataType>" + d.z_scaling +
         "</CZ>"
         "</Axes></Record1>\n" +
         d.record2 + "<Record3><MatrixDimension><SizeX>" + d.size_x + "</SizeX><SizeY>" + d.size_y +
         "</SizeY><SizeZ>" + d.size_z + "</SizeZ></MatrixDimension>" + record3 +
         "</Record3>\n"
         "<Record4><ChecksumFile>md5checksum.hex</ChecksumFile></Record4>\n"
         "</p:ISO5436_2>\n";
}

void write_x3p(const std::string& path, const Description& description, const std::string& data,
               const std::string& valid) {
  const std::string xml = main_xml(description, md5_hex(data), valid.empty() ? "" : md5_hex(valid));
  std::vector<Entry> entries{{"main.xml", xml}, {"md5checksum.hex", md5_hex(xml) + " *main.xml\n"}};
  if (description.record3_data.empty()) entries.push_back({"bindata/data.bin", data});
  if (!valid.empty()) entries.push_back({"bindata/valid.bin", valid});
  write_zip(path, entries);
}

}  // namespace x3ptest
