// X3P containers made part by part for the tests, independently of the
// library's writer: libarchive for the ZIP, OpenSSL for the sums.
#pragma once

#include <string>
#include <vector>

namespace x3ptest {

struct Entry {
  std::string name;
  std::string bytes;
};

// A ZIP container of the entries in order (stored, or deflated when asked).
void write_zip(const std::string& path, const std::vector<Entry>& entries, bool deflate = false);
// The entries of a ZIP container, in order.
std::vector<Entry> read_zip(const std::string& path);
std::string md5_hex(const std::string& bytes);

// The pieces of a surface's main.xml; tests change one at a time.
struct Description {
  std::string feature = "SUR";
  std::string x_axis = "I";
  std::string y_axis = "I";
  std::string data_type = "F";
  std::string z_scaling;  // <Increment>..</Increment><Offset>..</Offset>, for integer data
  std::string x_increment = "1e-6";
  std::string y_increment = "2e-6";
  std::string size_x = "3";
  std::string size_y = "2";
  std::string size_z = "1";
  std::string record3_data;  // DataLink or DataList element; empty: a DataLink to data.bin (and valid.bin)
  std::string record2;
};

std::string main_xml(const Description& description, const std::string& data_md5,
                     const std::string& valid_md5);

// An X3P file of the description with data.bin (and valid.bin when not
// empty) and every sum right.
void write_x3p(const std::string& path, const Description& description, const std::string& data,
               const std::string& valid = {});

}  // namespace x3ptest
