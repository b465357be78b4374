// dlmsim's own share of a flash write: the command sequence of a 32 KB-mode
// block write (erase, blank-check read, then per 32 KiB chunk a write and a
// CRC check) sent over the socket with the simulator's small client. The host
// tool adds its own work on top; this shows dlmsim is not the bottleneck.
#include <benchmark/benchmark.h>

#include <vector>

#include "common/crc16.h"
#include "sim_client.h"
#include "support/sim_fixture.h"

namespace {

void put_cdb(uint8_t* c, uint8_t cls, uint8_t sub, uint32_t addr, uint16_t len, uint16_t crc) {
  for (int i = 0; i < 16; ++i) c[i] = 0;
  c[0] = cls;
  c[1] = sub;
  c[2] = static_cast<uint8_t>(addr >> 24);
  c[3] = static_cast<uint8_t>(addr >> 16);
  c[4] = static_cast<uint8_t>(addr >> 8);
  c[5] = static_cast<uint8_t>(addr);
  c[6] = static_cast<uint8_t>(len >> 8);
  c[7] = static_cast<uint8_t>(len);
  c[9] = static_cast<uint8_t>(crc);
  c[10] = static_cast<uint8_t>(crc >> 8);
}

void BM_WriteBlocks32K(benchmark::State& state) {
  const uint32_t total = 64u << 20;
  dlmtest::ScratchDir dir;
  dlmtest::SimProcess sim(dir.path(), {"--loader-mode", "--flash-id", "0x1A"});
  dlmsim::SimClient client;
  if (!sim.started() || client.connect_to(sim.socket_path()) != 0 || client.open_drive(1) != 0) {
    state.SkipWithError("dlmsim did not start");
    return;
  }
  std::vector<uint8_t> data(32768);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<uint8_t>(i * 7);
  const uint16_t crc = dlm::crc16(data.data(), data.size());
  std::vector<uint8_t> reply(512);
  uint8_t cdb[16];
  for (auto _ : state) {
    for (uint32_t block = 0; block < total; block += 65536) {
      put_cdb(cdb, 0xFB, 0x00, block, 0, 0);
      client.command(dlmsim::DataDir::in, cdb, {}, {reply.data(), 16});
      put_cdb(cdb, 0xFD, 0x05, block + 65536 - 2560, 512, 0);
      client.command(dlmsim::DataDir::in, cdb, {}, {reply.data(), 512});
      for (uint32_t chunk = block; chunk < block + 65536; chunk += 32768) {
        put_cdb(cdb, 0xFB, 0x04, chunk, 32768 & 0xFFFF, crc);
        if (client.command(dlmsim::DataDir::out, cdb, data, {}) != 0) state.SkipWithError("write failed");
        put_cdb(cdb, 0xFC, 0x13, chunk, 32768 & 0xFFFF, 0);
        client.command(dlmsim::DataDir::in, cdb, {}, {reply.data(), 4});
      }
    }
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * total);
}
BENCHMARK(BM_WriteBlocks32K)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace
