// The virtual phone as a `Phone`: lumoboot (Linux backend, armhf) on a real
// ARM kernel in qemu-system-arm with the board of vm/ (see vm/README.md for
// the protocol). The machine is launched by vm/lumovm.py on the first start;
// everything after that goes over the machine's own channels: the guest agent
// (virtio-serial, one request a line), QMP (keys, quit, the screen: the board
// framebuffer's memory, or in the DRM variant, `--display drm`, a screendump
// of the virtio-gpu display), the console log (the program's kmsg lines,
// init's lines, the kernel's reboot line) and the QMP event log (SHUTDOWN).
// Single-threaded, like the runner.
//
// The kernel sends the power-supply uevents itself when the board's values
// change, so the runner never sends one; steps that only a device root can
// play (raw uevents, raw input records, a start without a root) are refused
// with a message saying so (`unsupported`).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "sim/phone.h"

namespace sim {

struct VmOptions {
  std::string vm_dir;   // vm/ of the source tree (lumovm.py)
  std::string kernel;   // build-vm/vmlinuz
  std::string initrd;   // build-vm/initramfs.cpio.gz (with the armhf lumoboot)
  std::string run_dir;  // sockets, console.log, events.jsonl; a short path
  std::vector<std::string> device_args;  // the scenario's device lines
};

// What the scenario's device lines ask of the board, split into the kernel
// command line words the init passes to the board's modules and the
// properties set through the agent before the program starts. Options the
// virtual phone cannot honour are an error. Pure.
struct VmBoard {
  std::vector<std::string> append;  // "lumo_fb.bpp=32", ...
  std::vector<std::pair<std::string, std::string>> properties;
  std::string display = "fbdev";    // "drm": the virtio-gpu variant
};
bool vm_board(const std::vector<std::string>& device_args, VmBoard* board, std::string* error);
// Takes the options only the virtual board has ("--single-page",
// "--no-vibrator", "--display fbdev|drm") into `board`, the others into
// `host_args`. False with a message on a bad value.
bool take_vm_options(const std::vector<std::string>& device_args, std::vector<std::string>* host_args,
                     VmBoard* board, std::string* error);

// Agent line escaping (`\\`, `\n`, `\t`, `\xHH`); `last` lets blanks stand.
std::string agent_escape(const std::string& word, bool last);
std::string agent_unescape(const std::string& text);

// The program's log from the console: each "[ SECONDS] lumo: TEXT" line as
// "I/lumo(0): TEXT" (the console shows no priority), and the reboot record
// from the console's "reboot: ..." lines ("power_off", "restart REASON").
std::vector<std::string> console_log_lines(const std::string& console);
std::vector<std::string> console_reboot_lines(const std::string& console);
// The statuses in init's "lumo-init: program exited with status N" lines.
std::vector<int> console_exit_statuses(const std::string& console);

// True when a screendump is QEMU's stand-in for a display whose output is
// off (DPMS off, nothing scanned out): black but for one line of text in one
// colour across the middle rows. Pure.
bool inactive_output(const Image& screen);

// The QEMU key name of a key code, "" when the virtual keyboard has none.
std::string vm_qcode(int code);

class VmPhone : public Phone {
 public:
  explicit VmPhone(VmOptions options);
  ~VmPhone() override;

  bool start(const std::string& mode, std::string* error) override;
  void poll() override;
  void stop() override;
  bool started() const override { return started_; }
  bool ended() const override { return ended_; }
  int wait_status() const override { return status_; }

  bool write_battery(const BatteryFields& fields) override;
  bool set_charger(const std::string& supply, bool online) override;
  int send_uevent(const std::string& datagram) override;
  int write_input(const std::vector<InputEvent>& events) override;
  bool kernel_sends_uevents() const override { return true; }
  std::string unsupported(const std::string& step) const override;

  std::optional<std::string> property(const std::string& key) override;
  bool set_property(const std::string& key, const std::string& value) override;
  std::optional<std::string> read_file(const std::string& device_path) override;
  bool write_file(const std::string& device_path, const std::string& content) override;
  int remove_file(const std::string& device_path) override;

  std::vector<std::string> log_lines() override;
  std::vector<std::string> reboot_lines() override;
  std::string output() override;
  uint32_t light_color(const std::string& light) override;
  bool visible_page(Image* page, FrameInfo* info, std::string* error) override;
  bool screenshot(Image* out, std::string* error) override;
  void collect(const std::string& out_dir) override;
  bool rtc_alarm(int64_t* now, int64_t* alarm, bool* armed, std::string* error) override;
  int64_t clock_ms() override;

 private:
  bool launch(std::string* error);
  bool input_open();
  // The agent's answer to one request: the text after "ok", or nullopt when
  // it refused (the refusal in `refusal`, when given) or did not answer.
  std::optional<std::string> agent(const std::string& line, std::string* refusal = nullptr);
  // One QMP command (JSON text), the reply line; "" on failure.
  std::string qmp(const std::string& command);
  // The shown screen: the DRM variant's through QMP screendump, the board
  // framebuffer's page through pmemsave.
  bool display_page(Image* page, FrameInfo* info, std::string* error);
  bool framebuffer_page(Image* page, FrameInfo* info, std::string* error);
  bool pmemsave(uint64_t address, size_t size, std::string* bytes, std::string* error);
  std::string console() const;
  bool machine_down() const;
  void quit();

  VmOptions options_;
  VmBoard board_;
  bool launched_ = false;
  bool input_open_ = false;  // the program has the virtual keyboard open
  bool booting_ = false;     // launched, modules not loaded yet
  std::string launch_error_;
  bool started_ = false;
  bool ended_ = false;
  int status_ = 0;
  size_t exits_seen_ = 0;  // init's exit lines before the current start
  int qmp_fd_ = -1;
  int agent_fd_ = -1;
  std::string agent_buffer_;
  std::string qmp_buffer_;
};

}  // namespace sim
