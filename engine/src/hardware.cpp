#include <nuvra/hardware.h>

#include <stdexcept>
#include <utility>

namespace nuvra {

std::shared_ptr<HardwareDevice> HardwareDevice::create(HardwareDriver* driver) {
  if (driver == nullptr) throw std::invalid_argument("HardwareDevice::create: no driver given");
  std::shared_ptr<BoardBackend> board = driver->board();
  if (!board) throw std::runtime_error("HardwareDevice::create: the driver has no board");
  board->open();
  return std::shared_ptr<HardwareDevice>(new HardwareDevice(driver, std::move(board)));
}

HardwareDevice::HardwareDevice(HardwareDriver* driver, std::shared_ptr<BoardBackend> board)
    : driver_(driver), board_(std::move(board)) {}

void HardwareDevice::refuse_if_running() const {
  if (running()) throw std::runtime_error(kBusy);
}

template <class Run>
HardwareDevice::Outputs HardwareDevice::run(Run&& run) {
  refuse_if_running();
  ++running_;
  struct Done {
    uint32_t& count;
    ~Done() { --count; }
  } done{running_};
  return run();
}

HwVersion HardwareDevice::version() const { return board_->version(); }

const char* HardwareDevice::desc() const { return board_->desc(); }

void HardwareDevice::read_np_registers(uint32_t* out, const hw::Ident& ident, uint32_t count) {
  if (count == 0) return;
  if (out == nullptr) throw std::invalid_argument("read_np_registers: no output buffer");
  board_->read_np_registers(out, ident, count);
}

void HardwareDevice::enable_clk_counter(bool enabled) {
  refuse_if_running();
  board_->enable_clk_counter(enabled);
}

uint32_t HardwareDevice::read_clk_counter() { return board_->read_clk_counter(); }

uint32_t HardwareDevice::program_clk() const { return board_->program_clk(); }

std::pair<uint32_t, uint32_t> HardwareDevice::memory() const { return board_->memory(); }

void HardwareDevice::reset_top_memory() {
  refuse_if_running();
  board_->reset_top_memory();
}

void HardwareDevice::program(const uint8_t* data, size_t size) {
  refuse_if_running();
  if (data == nullptr) throw std::invalid_argument("Invalid program: no bytes");
  learn_mem_owner_ = 0;
  board_->program(data, size);
}

const std::pair<const uint8_t*, size_t>& HardwareDevice::program() const { return board_->program(); }

void HardwareDevice::program_external(const uint8_t* data, size_t size, uint32_t address) {
  refuse_if_running();
  if (data == nullptr) throw std::invalid_argument("Invalid program: no bytes");
  learn_mem_owner_ = 0;
  board_->program_external(data, size, address);
}

void HardwareDevice::unprogram() {
  refuse_if_running();
  learn_mem_owner_ = 0;
  board_->unprogram();
}

void HardwareDevice::prepare_run(uint32_t count, bool flag) {
  refuse_if_running();
  board_->prepare_run(count, flag);
}

bool HardwareDevice::learn_enabled() const { return board_->learn_enabled(); }

void HardwareDevice::learn_enabled(bool enabled) {
  refuse_if_running();
  board_->learn_enabled(enabled);
}

uint32_t HardwareDevice::learn_mem_size() const { return board_->learn_mem_size(); }

void HardwareDevice::read_learn_mem(uint32_t* out) {
  if (out == nullptr && board_->learn_mem_size() != 0) throw std::invalid_argument("read_learn_mem: no output buffer");
  board_->read_learn_mem(out);
}

void HardwareDevice::write_learn_mem(const uint32_t* in) {
  refuse_if_running();
  if (in == nullptr && board_->learn_mem_size() != 0) throw std::invalid_argument("write_learn_mem: no input buffer");
  board_->write_learn_mem(in);
}

void HardwareDevice::write_learn_mem(const uint32_t* in, uint64_t owner) {
  if (owner == 0) throw std::invalid_argument("write_learn_mem: an owned write needs an owner");
  refuse_if_running();  // a busy board keeps its owner
  // A write the board fails midway leaves a memory nobody owns.
  learn_mem_owner_ = 0;
  write_learn_mem(in);
  learn_mem_owner_ = owner;
}

HardwareDevice::Outputs HardwareDevice::fit(const Frames& frames, const std::vector<int>& labels) {
  return run([&] { return board_->fit(frames, labels); });
}

HardwareDevice::Outputs HardwareDevice::forward(const Frames& frames) {
  return run([&] { return board_->forward(frames); });
}

HardwareDevice::Outputs HardwareDevice::predict(const Frames& frames) {
  return run([&] { return board_->predict(frames); });
}

namespace {

HardwareDevice::Frames as_frames(const std::vector<std::shared_ptr<Dense>>& frames) {
  return HardwareDevice::Frames(frames.begin(), frames.end());
}

}  // namespace

HardwareDevice::Outputs HardwareDevice::fit(const std::vector<std::shared_ptr<Dense>>& frames,
                                            const std::vector<int>& labels) {
  return fit(as_frames(frames), labels);
}

HardwareDevice::Outputs HardwareDevice::forward(const std::vector<std::shared_ptr<Dense>>& frames) {
  return forward(as_frames(frames));
}

HardwareDevice::Outputs HardwareDevice::predict(const std::vector<std::shared_ptr<Dense>>& frames) {
  return predict(as_frames(frames));
}

}  // namespace nuvra
