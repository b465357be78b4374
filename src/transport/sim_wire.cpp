#include "transport/sim_wire.h"

#include <algorithm>
#include <cstring>

#include "common/bytes.h"

namespace dlm::sim_wire {

bool decode_request_length(const uint8_t* field, uint32_t& length) {
  length = get_le32(field, 0);
  return length != 0 && length <= MAX_BODY;
}

void encode_simple_request(uint8_t* frame, uint8_t code) {
  put_le32(frame, 0, 1);
  frame[4] = code;
}

void encode_open_request(uint8_t* frame, uint8_t drive) {
  put_le32(frame, 0, 2);
  frame[4] = REQ_OPEN;
  frame[5] = drive;
}

bool decode_open_request(const uint8_t* body, size_t body_length, uint8_t& drive) {
  if (body_length != 2) return false;
  drive = body[1];
  return true;
}

void encode_dump_head(uint8_t* frame, size_t path_length) {
  put_le32(frame, 0, static_cast<uint32_t>(1 + path_length));
  frame[4] = REQ_DUMP;
}

std::string decode_dump_path(const uint8_t* body, size_t body_length) {
  return std::string(reinterpret_cast<const char*>(body) + 1, body_length - 1);
}

void encode_command_head(uint8_t* frame, const CommandHead& head) {
  std::memset(frame, 0, COMMAND_FRAME_HEAD);
  const uint32_t out_data = head.direction == DIR_OUT ? head.count : 0;
  put_le32(frame, 0, static_cast<uint32_t>(COMMAND_HEAD_SIZE + out_data));
  uint8_t* body = frame + LENGTH_SIZE;
  body[0] = REQ_COMMAND;
  body[1] = head.direction;
  body[2] = head.cdb_length;
  put_le32(body, 4, head.timeout_ms);
  put_le32(body, 8, head.count);
  std::memcpy(body + 12, head.cdb, sizeof head.cdb);
}

bool decode_command_head(const uint8_t* body, size_t body_length, CommandHead& head) {
  if (body_length < COMMAND_HEAD_SIZE) return false;
  head.direction = body[1];
  head.cdb_length = body[2];
  head.timeout_ms = get_le32(body, 4);
  head.count = get_le32(body, 8);
  std::memcpy(head.cdb, body + 12, sizeof head.cdb);
  if (head.count > MAX_BODY) return false;
  return body_length == COMMAND_HEAD_SIZE + (head.direction == DIR_OUT ? head.count : 0);
}

void encode_reply_head(uint8_t* head, uint32_t status, uint32_t payload_length) {
  put_le32(head, 0, 4 + payload_length);
  put_le32(head, 4, status);
}

bool decode_reply_head(const uint8_t* head, uint32_t& status, uint32_t& payload_length) {
  const uint32_t length = get_le32(head, 0);
  if (length < 4 || length - 4 > MAX_BODY) return false;
  status = get_le32(head, 4);
  payload_length = length - 4;
  return true;
}

size_t encode_list(const std::vector<ListEntry>& drives, std::vector<uint8_t>& buffer, size_t at) {
  const size_t most = 2 + drives.size() * (5 + 3 * MAX_TEXT);
  if (buffer.size() < at + most) buffer.resize(at + most);
  uint8_t* p = buffer.data() + at;
  size_t n = 0;
  p[n++] = VERSION;
  p[n++] = static_cast<uint8_t>(drives.size());
  for (const ListEntry& d : drives) {
    p[n++] = d.number;
    p[n++] = d.bus_type;
    for (const std::string* text : {&d.vendor, &d.product}) {
      const size_t length = std::min(text->size(), MAX_TEXT);
      p[n++] = static_cast<uint8_t>(length);
      std::memcpy(p + n, text->data(), length);
      n += length;
    }
  }
  // Without any port name the payload stays as it always was.
  bool any_port = false;
  for (const ListEntry& d : drives) any_port = any_port || !d.port.empty();
  for (const ListEntry& d : drives) {
    if (!any_port) break;
    const size_t length = std::min(d.port.size(), MAX_TEXT);
    p[n++] = static_cast<uint8_t>(length);
    std::memcpy(p + n, d.port.data(), length);
    n += length;
  }
  return n;
}

bool decode_list(const uint8_t* p, size_t size, std::vector<ListEntry>& drives) {
  if (size < 2 || p[0] != VERSION) return false;
  size_t at = 2;
  for (unsigned i = 0; i < p[1]; ++i) {
    ListEntry d;
    if (at + 3 > size) return false;
    d.number = p[at++];
    d.bus_type = p[at++];
    for (std::string* text : {&d.vendor, &d.product}) {
      if (at >= size) return false;
      const size_t length = p[at++];
      if (at + length > size) return false;
      text->assign(reinterpret_cast<const char*>(p) + at, length);
      at += length;
    }
    drives.push_back(std::move(d));
  }
  if (at == size) return true;  // no port section
  const size_t first = drives.size() - p[1];
  std::vector<std::string> ports(p[1]);
  for (std::string& port : ports) {
    if (at >= size) return false;
    const size_t length = p[at++];
    if (at + length > size) return false;
    port.assign(reinterpret_cast<const char*>(p) + at, length);
    at += length;
  }
  for (size_t i = 0; i < ports.size(); ++i) drives[first + i].port = std::move(ports[i]);
  return true;
}

}  // namespace dlm::sim_wire
