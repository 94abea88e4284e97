// The DRM/KMS display: the first "/dev/dri/cardN" with a connected connector,
// its preferred mode on a CRTC the connector's encoders reach, two dumb
// buffers (one when their size is no whole number of memory pages) mapped
// back to back, a mode set on the first and page flips between them. A
// flip's completion event is awaited for at most one frame, so that the
// buffer it replaced is free for the next drawing and no caller is held
// longer. Blanking goes through the connector's "DPMS" property.
//
// Another process may take the display (DRM master): the loss is logged
// once, shows are dropped while it lasts (the program goes on), and every
// later show asks for master again and sets the mode when it is back.
//
// Closing leaves the buffer on screen: handed to the kernel
// (DRM_IOCTL_MODE_CLOSEFB) where it can take it, else by keeping the last
// closed descriptor open until the next open or the end of the process.
#include <xf86drm.h>
#include <xf86drmMode.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <unistd.h>
#include <vector>

#include "platform/linux/display_driver.h"
#include "platform/linux/drm_layout.h"
#include "platform/log.h"

#ifndef DRM_IOCTL_MODE_CLOSEFB
struct drm_mode_closefb {
  __u32 fb_id;
  __u32 pad;
};
#define DRM_IOCTL_MODE_CLOSEFB DRM_IOWR(0xD0, struct drm_mode_closefb)
#endif

namespace platform::kernel {
namespace {

constexpr int kMaxCards = 8;
constexpr unsigned kMaxHandles = 8;

struct Buffer {
  uint32_t handle = 0;  // dumb buffer
  uint32_t fb = 0;      // framebuffer object on it
  uint64_t offset = 0;  // where to map it
};

struct DrmScreen {
  int fd = -1;
  uint32_t connector = 0;
  uint32_t crtc = 0;
  uint32_t dpms = 0;  // the connector's "DPMS" property, 0: none
  drmModeModeInfo mode = {};
  uint32_t format = kFormatXrgb8888;
  unsigned pitch = 0;
  Buffer buffers[2];
  FlipBook book;
  bool lost = false;  // another process holds master
};

// One screen a process: every handle is a duplicate of its descriptor, so
// that all of them act as the one DRM master (a second open of the card
// would not be master and could neither flip nor blank). The screen is torn
// down when its last handle is closed.
DrmScreen g_screen;
int g_handles[kMaxHandles] = {-1, -1, -1, -1, -1, -1, -1, -1};
std::mutex g_mutex;  // guards the handles; the screen is used by one thread at a time

DrmScreen* screen_of(int handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int h : g_handles) {
    if (handle >= 0 && h == handle) return &g_screen;
  }
  errno = EBADF;
  return nullptr;
}

// A new handle on the open screen, or -1 with errno.
int add_handle() {
  std::lock_guard<std::mutex> lock(g_mutex);
  for (int& h : g_handles) {
    if (h >= 0) continue;
    h = fcntl(g_screen.fd, F_DUPFD_CLOEXEC, 0);
    return h;
  }
  errno = EMFILE;
  return -1;
}

// Forgets `handle`; true when it was the screen's last one.
bool remove_handle(int handle) {
  std::lock_guard<std::mutex> lock(g_mutex);
  bool others = false;
  for (int& h : g_handles) {
    if (h == handle) {
      h = -1;
    } else if (h >= 0) {
      others = true;
    }
  }
  return !others;
}

size_t page_bytes(const DrmScreen& s) { return static_cast<size_t>(s.pitch) * s.mode.vdisplay; }

const char* format_name(uint32_t format) { return format == kFormatRgb565 ? "RGB565" : "XRGB8888"; }

// The connectors of the card, as the pure chooser sees them, with their
// modes kept for the mode set.
struct CardConnectors {
  std::vector<drmModeConnectorPtr> raw;
  std::vector<std::vector<DrmMode>> modes;
  std::vector<DrmConnector> list;
  ~CardConnectors() {
    for (drmModeConnectorPtr c : raw) drmModeFreeConnector(c);
  }
};

void read_connectors(int fd, const drmModeRes& res, CardConnectors* out) {
  for (int i = 0; i < res.count_connectors; ++i) {
    drmModeConnectorPtr c = drmModeGetConnector(fd, res.connectors[i]);
    if (c == nullptr) continue;
    out->raw.push_back(c);
    std::vector<DrmMode> modes;
    for (int m = 0; m < c->count_modes; ++m) {
      const drmModeModeInfo& info = c->modes[m];
      modes.push_back({info.hdisplay, info.vdisplay, info.vrefresh, (info.type & DRM_MODE_TYPE_PREFERRED) != 0});
    }
    out->modes.push_back(std::move(modes));
  }
  for (size_t i = 0; i < out->raw.size(); ++i) {
    out->list.push_back({out->raw[i]->connector_id, out->raw[i]->connection == DRM_MODE_CONNECTED,
                         out->modes[i].data(), out->modes[i].size()});
  }
}

// A CRTC one of the connector's encoders can drive (the one it drives now
// first); its index in the card's list in *index. 0 when none.
uint32_t find_crtc(int fd, const drmModeRes& res, const drmModeConnector& c, int* index) {
  for (int pass = 0; pass < 2; ++pass) {
    for (int e = 0; e < c.count_encoders; ++e) {
      if (pass == 0 && c.encoders[e] != c.encoder_id) continue;
      drmModeEncoderPtr enc = drmModeGetEncoder(fd, c.encoders[e]);
      if (enc == nullptr) continue;
      uint32_t possible = enc->possible_crtcs;
      drmModeFreeEncoder(enc);
      for (int i = 0; i < res.count_crtcs && i < 32; ++i) {
        if ((possible & (1u << i)) != 0) {
          *index = i;
          return res.crtcs[i];
        }
      }
    }
  }
  return 0;
}

uint64_t property_value(int fd, uint32_t object, uint32_t type, const char* name, uint32_t* id) {
  uint64_t value = 0;
  drmModeObjectPropertiesPtr props = drmModeObjectGetProperties(fd, object, type);
  if (props == nullptr) return 0;
  for (uint32_t i = 0; i < props->count_props; ++i) {
    drmModePropertyPtr p = drmModeGetProperty(fd, props->props[i]);
    if (p == nullptr) continue;
    if (strcmp(p->name, name) == 0) {
      value = props->prop_values[i];
      if (id != nullptr) *id = p->prop_id;
    }
    drmModeFreeProperty(p);
  }
  drmModeFreeObjectProperties(props);
  return value;
}

// The formats of the CRTC's primary plane (empty when the card lists none).
std::vector<uint32_t> primary_formats(int fd, int crtc_index) {
  std::vector<uint32_t> formats;
  drmModePlaneResPtr planes = drmModeGetPlaneResources(fd);
  if (planes == nullptr) return formats;
  for (uint32_t i = 0; i < planes->count_planes && formats.empty(); ++i) {
    drmModePlanePtr plane = drmModeGetPlane(fd, planes->planes[i]);
    if (plane == nullptr) continue;
    uint32_t type_id = 0;
    bool reaches = (plane->possible_crtcs & (1u << crtc_index)) != 0;
    if (reaches && property_value(fd, plane->plane_id, DRM_MODE_OBJECT_PLANE, "type", &type_id) ==
                       DRM_PLANE_TYPE_PRIMARY && type_id != 0) {
      formats.assign(plane->formats, plane->formats + plane->count_formats);
    }
    drmModeFreePlane(plane);
  }
  drmModeFreePlaneResources(planes);
  return formats;
}

bool make_buffer(DrmScreen* s, unsigned width, Buffer* b) {
  uint32_t pitch = 0;
  uint64_t size = 0;
  unsigned bits = format_bits(s->format);
  if (drmModeCreateDumbBuffer(s->fd, width, s->mode.vdisplay, bits, 0, &b->handle, &pitch, &size) != 0) return false;
  if (s->pitch != 0 && pitch != s->pitch) {
    errno = EINVAL;
    return false;
  }
  s->pitch = pitch;
  uint32_t handles[4] = {b->handle}, pitches[4] = {pitch}, offsets[4] = {0};
  if (drmModeAddFB2(s->fd, s->mode.hdisplay, s->mode.vdisplay, s->format, handles, pitches, offsets, &b->fb, 0) != 0) {
    return false;
  }
  return drmModeMapDumbBuffer(s->fd, b->handle, &b->offset) == 0;
}

void drop_buffers(DrmScreen* s) {
  for (Buffer& b : s->buffers) {
    if (b.fb != 0) drmModeRmFB(s->fd, b.fb);
    if (b.handle != 0) drmModeDestroyDumbBuffer(s->fd, b.handle);
    b = {};
  }
}

// Two buffers when a page is whole memory pages (they are then mapped back
// to back), else one.
bool make_buffers(DrmScreen* s) {
  unsigned bits = format_bits(s->format);
  size_t memory_page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  unsigned width = padded_width(s->mode.hdisplay, s->mode.vdisplay, bits, memory_page);
  if (width == 0) width = s->mode.hdisplay;
  if (!make_buffer(s, width, &s->buffers[0])) return false;
  s->book = {1};
  if (page_bytes(*s) % memory_page == 0 && make_buffer(s, width, &s->buffers[1])) {
    s->book.pages = 2;
  } else if (s->buffers[1].handle != 0 || s->buffers[1].fb != 0) {
    if (s->buffers[1].fb != 0) drmModeRmFB(s->fd, s->buffers[1].fb);
    if (s->buffers[1].handle != 0) drmModeDestroyDumbBuffer(s->fd, s->buffers[1].handle);
    s->buffers[1] = {};
  }
  return true;
}

bool master_refused(int error) { return error == EACCES || error == EPERM; }

void mark_lost(DrmScreen* s) {
  if (!s->lost) LOGW("display: DRM master lost, the screen stays dark until it returns");
  s->lost = true;
  flip_lost(&s->book);
}

// Mode set showing `page`. 0; -1 with errno (master loss is marked).
int set_mode(DrmScreen* s, unsigned page) {
  uint32_t connector = s->connector;
  if (drmModeSetCrtc(s->fd, s->crtc, s->buffers[page].fb, 0, 0, &connector, 1, &s->mode) != 0) {
    if (master_refused(errno)) mark_lost(s);
    return -1;
  }
  flip_mode_set(&s->book, page);
  return 0;
}

void on_flip(int, unsigned, unsigned, unsigned, void* data) { flip_completed(&static_cast<DrmScreen*>(data)->book); }

int64_t now_ms() {
  timespec ts = {};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int frame_ms(const DrmScreen& s) {
  unsigned hz = s.mode.vrefresh != 0 ? s.mode.vrefresh : 60;
  return static_cast<int>((1000 + hz - 1) / hz);
}

// Reads completion events until no flip is in flight or one frame passed.
void await_flip(DrmScreen* s) {
  drmEventContext events = {};
  events.version = 2;
  events.page_flip_handler = on_flip;
  int64_t end = now_ms() + frame_ms(*s);
  while (s->book.pending >= 0) {
    int64_t left = end - now_ms();
    if (left <= 0) return;
    pollfd p = {s->fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    if (drmHandleEvent(s->fd, &events) != 0) return;
  }
}

// Asks for master again after a loss. True when the display is ours.
bool take_back(DrmScreen* s) {
  if (!s->lost) return true;
  if (drmSetMaster(s->fd) != 0) return false;
  s->lost = false;
  LOGW("display: DRM master back, the screen is shown again");
  return true;
}

int show(DrmScreen* s, unsigned page) {
  if (!take_back(s)) return 0;  // dark while another process holds the display
  if (flip_step(s->book, page) == FlipStep::kBusy) await_flip(s);
  switch (flip_step(s->book, page)) {
    case FlipStep::kInvalid:
      errno = EINVAL;
      return -1;
    case FlipStep::kBusy:
      errno = EBUSY;
      return -1;
    case FlipStep::kModeSet:
      return set_mode(s, page) == 0 || s->lost ? 0 : -1;
    case FlipStep::kNothing:
      // Redrawn in place (a single page): drivers that copy out want to know.
      drmModeDirtyFB(s->fd, s->buffers[page].fb, nullptr, 0);
      return 0;
    case FlipStep::kFlip:
      break;
  }
  if (drmModePageFlip(s->fd, s->crtc, s->buffers[page].fb, DRM_MODE_PAGE_FLIP_EVENT, s) != 0) {
    if (master_refused(errno)) {
      mark_lost(s);
      return 0;
    }
    return -1;
  }
  flip_queued(&s->book, page);
  await_flip(s);
  return 0;
}

// Opens `path` and sets up a screen on it. The descriptor, or -1 with errno.
int open_card(const char* path, DrmScreen* s) {
  int fd = open(path, O_RDWR | O_CLOEXEC);
  if (fd < 0) return -1;
  *s = {};
  s->fd = fd;
  drmSetClientCap(fd, DRM_CLIENT_CAP_UNIVERSAL_PLANES, 1);
  drmModeResPtr res = drmModeGetResources(fd);
  int error = ENODEV;
  if (res != nullptr) {
    CardConnectors card;
    read_connectors(fd, *res, &card);
    DrmPick pick = pick_connector_mode(card.list.data(), card.list.size());
    int crtc_index = -1;
    if (pick.connector >= 0) {
      const drmModeConnector& c = *card.raw[pick.connector];
      s->connector = c.connector_id;
      s->mode = c.modes[pick.mode];
      s->crtc = find_crtc(fd, *res, c, &crtc_index);
      property_value(fd, c.connector_id, DRM_MODE_OBJECT_CONNECTOR, "DPMS", &s->dpms);
    }
    if (s->crtc != 0) {
      std::vector<uint32_t> formats = primary_formats(fd, crtc_index);
      s->format = pick_format(formats.data(), formats.size(), true);
      error = make_buffers(s) ? 0 : errno;
    }
    drmModeFreeResources(res);
  }
  if (error == 0) {
    if (set_mode(s, 0) == 0 || s->lost) return fd;
    error = errno;
  }
  drop_buffers(s);
  close(fd);
  *s = {};
  errno = error;
  return -1;
}

// On kernels without DRM_IOCTL_MODE_CLOSEFB a picture lives as long as its
// descriptor: when the last handle is closed the screen is kept, parked,
// until the next open (which takes it up again, picture and all) or the end
// of the process, whichever hands the screen over first.
bool g_parked = false;

int drm_open() {
  if (g_screen.fd >= 0) {
    g_parked = false;
    return add_handle();
  }
  DrmScreen setup;
  int error = ENODEV;
  for (int i = 0; i < kMaxCards; ++i) {
    char path[32];
    snprintf(path, sizeof(path), "/dev/dri/card%d", i);
    int fd = open_card(path, &setup);
    if (fd < 0) {
      if (errno == ENOENT) break;
      error = errno;
      continue;
    }
    static std::atomic<bool> logged{false};
    if (!logged.exchange(true)) {
      LOGI("display: DRM %s connector %u, %ux%u@%u %s, %u page(s)%s", path, setup.connector, setup.mode.hdisplay,
           setup.mode.vdisplay, setup.mode.vrefresh, format_name(setup.format), setup.book.pages,
           setup.lost ? ", another process holds it" : "");
    }
    g_screen = setup;
    int handle = add_handle();
    if (handle < 0) {
      error = errno;
      drop_buffers(&g_screen);
      close(fd);
      g_screen = {};
      break;
    }
    return handle;
  }
  errno = error;
  return -1;
}

int drm_close(int handle) {
  DrmScreen* s = screen_of(handle);
  if (s == nullptr) return -1;
  bool last = remove_handle(handle);
  close(handle);
  if (!last) return 0;
  if (s->book.pending >= 0) await_flip(s);
  if (s->book.shown >= 0 && !s->lost) {
    // Leave the picture on screen for whoever comes next.
    Buffer& b = s->buffers[s->book.shown];
    drm_mode_closefb request = {b.fb, 0};
    if (drmIoctl(s->fd, DRM_IOCTL_MODE_CLOSEFB, &request) != 0) {
      g_parked = true;
      return 0;
    }
    b.fb = 0;
  }
  drop_buffers(s);
  int fd = s->fd;
  *s = {};
  return close(fd);
}

int drm_query(int fd, DisplayInfo* info) {
  DrmScreen* s = screen_of(fd);
  if (s == nullptr) return -1;
  if (!display_info_from_drm(s->mode.hdisplay, s->mode.vdisplay, s->format, s->pitch, s->book.pages, info)) {
    errno = EINVAL;
    return -1;
  }
  return 0;
}

// The buffers one after the other in one reserved range: page p at
// p * page_bytes, as the display service promises.
Mapping drm_map(int fd, size_t length) {
  DrmScreen* s = screen_of(fd);
  if (s == nullptr) return {};
  size_t page = page_bytes(*s);
  if (length == 0 || length > page * s->book.pages) {
    errno = EINVAL;
    return {};
  }
  size_t pages = (length + page - 1) / page;
  void* base = mmap(nullptr, pages * page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return {};
  Mapping range(base, pages * page);
  for (size_t i = 0; i < pages; ++i) {
    void* at = static_cast<uint8_t*>(base) + i * page;
    void* got = mmap(at, page, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED, fd,
                     static_cast<off_t>(s->buffers[i].offset));
    if (got == MAP_FAILED) return {};
  }
  return range;
}

int drm_show_page(int fd, unsigned page) {
  DrmScreen* s = screen_of(fd);
  return s == nullptr ? -1 : show(s, page);
}

int drm_refresh(int fd) {
  DrmScreen* s = screen_of(fd);
  if (s == nullptr) return -1;
  if (!take_back(s)) return 0;
  if (s->book.pending >= 0) await_flip(s);
  if (s->book.shown == 0 && s->book.pending < 0) {
    drmModeDirtyFB(fd, s->buffers[0].fb, nullptr, 0);
    return 0;
  }
  return set_mode(s, 0) == 0 || s->lost ? 0 : -1;
}

int drm_blank(int fd, bool blank) {
  DrmScreen* s = screen_of(fd);
  if (s == nullptr) return -1;
  if (s->dpms == 0) {
    errno = ENOTSUP;
    return -1;
  }
  if (!take_back(s)) return 0;
  uint64_t value = blank ? DRM_MODE_DPMS_OFF : DRM_MODE_DPMS_ON;
  if (drmModeConnectorSetProperty(fd, s->connector, s->dpms, value) == 0) return 0;
  if (master_refused(errno)) {
    mark_lost(s);
    return 0;
  }
  return -1;
}

}  // namespace

const DisplayDriver kDrmDriver = {"drm", drm_open, drm_close, drm_query, drm_map, drm_show_page, drm_refresh, drm_blank};

}  // namespace platform::kernel
