#include "platform/rtmidi/RtMidiService.h"

#include <alsa/asoundlib.h>
#include <unistd.h>
#include <jack/jack.h>
#include <rtmidi/RtMidi.h>

#include <array>
#include <atomic>
#include <chrono>
#include <cstring>
#include <map>
#include <new>
#include <semaphore>
#include <thread>
#include <vector>

namespace velora {

const char* const RtMidiMapperName = "Velora MIDI Mapper";
const char* const RtMidiClientName = "Velora";

namespace {

// RtMidi's JACK output ring is 16384 bytes; one byte always stays free and each message is
// preceded by its length word. A longer message would be dropped without a word.
constexpr std::size_t kJackLongLimit = 16384 - 1 - sizeof(int);
// alsa-lib's 16 KiB output buffer must hold the whole event: its header and the data.
constexpr std::size_t kAlsaLongLimit = 16384 - sizeof(snd_seq_event_t);
constexpr std::uint32_t kDriverVersion = 0x0500;  // RtMidi 5.0
constexpr std::size_t kInputBufferSlots = 1024;
constexpr std::size_t kDoneSlots = 4096;
// How often an ALSA output port is looked for again before a send.
constexpr std::chrono::milliseconds kAlsaRecheck{100};
// How long an open waits for JACK to show the connection it made (many cycles).
constexpr std::chrono::milliseconds kJackConnectWait{500};

// Single-producer single-consumer ring of plain values, preallocated.
template <typename T, std::size_t N>
class TSpscRing {
 public:
  // Producer side.
  bool Full() const noexcept {
    // acquire: the consumer's take of the slot is complete before we reuse it.
    return FTail.load(std::memory_order_relaxed) - FHead.load(std::memory_order_acquire) == N;
  }
  bool Push(const T& value) noexcept {
    if (Full()) return false;
    // relaxed: only this thread writes the tail.
    const std::size_t tail = FTail.load(std::memory_order_relaxed);
    FSlots[tail % N] = value;
    // release: publishes the slot's value with the raised tail.
    FTail.store(tail + 1, std::memory_order_release);
    return true;
  }
  // Consumer side.
  // service thread: no allocation, no lock, no throw.
  bool Pop(T& value) noexcept {
    // relaxed: only this thread writes the head.
    const std::size_t head = FHead.load(std::memory_order_relaxed);
    // acquire: the producer's slot value is visible once we see its tail.
    if (FTail.load(std::memory_order_acquire) == head) return false;
    value = FSlots[head % N];
    // release: hands the slot back to the producer after we copied it.
    FHead.store(head + 1, std::memory_order_release);
    return true;
  }
  // service thread: no allocation, no lock, no throw.
  bool Empty() const noexcept {
    // acquire: pairs with the producer's release of the tail.
    return FTail.load(std::memory_order_acquire) == FHead.load(std::memory_order_relaxed);
  }

 private:
  std::array<T, N> FSlots{};
  std::atomic<std::size_t> FHead{0};
  std::atomic<std::size_t> FTail{0};
};

// Counts the errors RtMidi reports for one of its objects, instead of printing or throwing.
struct TErrorTrap {
  std::atomic<std::uint32_t> Count{0};
};

// service thread: no allocation, no lock, no throw.
void TrapError(RtMidiError::Type type, const std::string& /*text*/, void* user) {
  if (type == RtMidiError::DEBUG_WARNING) return;
  // relaxed: a counter read back on the thread that made the failing call.
  static_cast<TErrorTrap*>(user)->Count.fetch_add(1, std::memory_order_relaxed);
}

// service thread: no allocation, no lock, no throw.
void SilentJack(const char*) {}
// service thread: no allocation, no lock, no throw.
void SilentAlsa(const char*, int, const char*, int, const char*, ...) {}

std::uint32_t HeaderFlags(MIDIHDR* header) {
  // acquire: the service thread's writes to the header come before its flags.
  return std::atomic_ref<std::uint32_t>(header->dwFlags).load(std::memory_order_acquire);
}
// service thread: no allocation, no lock, no throw.
void SetHeaderFlags(MIDIHDR* header, std::uint32_t set, std::uint32_t clear) noexcept {
  std::atomic_ref<std::uint32_t> flags(header->dwFlags);
  // relaxed: the starting guess of the exchange below, which publishes.
  std::uint32_t value = flags.load(std::memory_order_relaxed);
  // release: publishes the header's data and byte count with its new flags; relaxed on a
  // failed exchange, which only retries.
  while (!flags.compare_exchange_weak(value, (value & ~clear) | set, std::memory_order_release,
                                      std::memory_order_relaxed)) {
  }
}

MMRESULT CheckHeader(MIDIHDR* header, std::uint32_t size) {
  return (!header || size != MIDIHDR_SIZE) ? MMSYSERR_INVALPARAM : MMSYSERR_NOERROR;
}

// The number of bytes a short message has, from its status byte; 0 for no status.
std::size_t ShortMessageLength(std::uint8_t status) {
  if (status < 0x80) return 0;  // no running status: every message carries its status
  if (status < 0xC0) return 3;
  if (status < 0xE0) return 2;
  if (status < 0xF0) return 3;
  switch (status) {
    case 0xF0:
    case 0xF7:
      return 0;  // system exclusive travels as a long message
    case 0xF1:
    case 0xF3:
      return 2;
    case 0xF2:
      return 3;
    default:
      return 1;
  }
}

bool AllDigits(const std::string& text) {
  if (text.empty()) return false;
  for (char c : text)
    if (c < '0' || c > '9') return false;
  return true;
}

// ALSA names end with " client:port" in numbers, which change from run to run.
std::string ProductName(TMidiBackend backend, const std::string& portName) {
  if (backend != mbAlsa) return portName;
  const std::size_t blank = portName.rfind(' ');
  if (blank == std::string::npos) return portName;
  const std::string ids = portName.substr(blank + 1);
  const std::size_t colon = ids.find(':');
  if (colon == std::string::npos || !AllDigits(ids.substr(0, colon)) ||
      !AllDigits(ids.substr(colon + 1)))
    return portName;
  return portName.substr(0, blank);
}

std::string ClientOf(const std::string& name) {
  return name.substr(0, name.find(':'));
}

// JACK gives a second client of the same name a "-NN" suffix; ALSA keeps the name.
bool IsOurClient(const std::string& client) {
  const std::string ours = RtMidiClientName;
  if (client == ours) return true;
  return client.size() > ours.size() + 1 && client.compare(0, ours.size(), ours) == 0 &&
         client[ours.size()] == '-' && AllDigits(client.substr(ours.size() + 1));
}

bool AlsaAnswers() {
  // alsa-lib reports a missing sequencer on stderr; nobody asked for that.
  snd_lib_error_set_handler(SilentAlsa);
  snd_seq_t* seq = nullptr;
  const int result = snd_seq_open(&seq, "default", SND_SEQ_OPEN_DUPLEX, SND_SEQ_NONBLOCK);
  if (result >= 0) snd_seq_close(seq);
  return result >= 0;
}

// One connection to a backend. Open devices keep theirs alive, also after the JACK server
// went away and a new connection has been made.
struct TConnection {
  TMidiBackend Backend = mbNone;
  jack_client_t* Monitor = nullptr;
  std::atomic<bool> Lost{false};
  std::atomic<std::uint64_t> Generation{0};
  TErrorTrap ScanErrors;
  std::unique_ptr<RtMidiIn> ScanIn;
  std::unique_ptr<RtMidiOut> ScanOut;

  ~TConnection() {
    Dispose(ScanIn);
    Dispose(ScanOut);
    if (Monitor && ConfirmAlive()) jack_client_close(Monitor);
  }
  // libjack crashes when a port of a client whose server has gone is unregistered, as
  // RtMidi's close does; such an object is left as it is, a few hundred bytes per lost server.
  template <typename TMidi>
  void Dispose(std::unique_ptr<TMidi>& midi) {
    if (Backend == mbJack && !ConfirmAlive()) {
      (void)midi.release();
      return;
    }
    try {
      midi.reset();  // stops RtMidi's thread: no call of ours after this
    } catch (...) {
    }
  }
  RtMidi::Api Api() const { return Backend == mbJack ? RtMidi::UNIX_JACK : RtMidi::LINUX_ALSA; }
  bool Alive() const {
    // acquire: pairs with the release of the shutdown notification.
    return Backend != mbNone && !Lost.load(std::memory_order_acquire);
  }
  // The shutdown notice of a server that was killed can come a second or more after the
  // user's next action: before a call that would reach the server, ask whether it answers.
  bool ConfirmAlive() {
    if (!Alive()) return false;
    if (Backend != mbJack) return true;
    jack_status_t status{};
    if (jack_client_t* probe = jack_client_open(RtMidiClientName, JackNoStartServer, &status)) {
      jack_client_close(probe);
      return true;
    }
    // release: every call after this one sees the server gone.
    Lost.store(true, std::memory_order_release);
    return false;
  }
};

// service thread: no allocation, no lock, no throw.
void PortRegistered(jack_port_id_t, int, void* arg) noexcept {
  // release: a changed port set is seen by the next check of an open device.
  static_cast<TConnection*>(arg)->Generation.fetch_add(1, std::memory_order_release);
}
// service thread: no allocation, no lock, no throw.
void PortConnected(jack_port_id_t, jack_port_id_t, int, void* arg) noexcept {
  // release: a changed connection is seen by the next check of an open device.
  static_cast<TConnection*>(arg)->Generation.fetch_add(1, std::memory_order_release);
}
// service thread: no allocation, no lock, no throw.
void ServerGone(jack_status_t, const char*, void* arg) noexcept {
  auto* connection = static_cast<TConnection*>(arg);
  // release: every call after this one sees the server gone.
  connection->Lost.store(true, std::memory_order_release);
  // release: wakes the checks of open devices.
  connection->Generation.fetch_add(1, std::memory_order_release);
}

bool OpenJack(TConnection& c) {
  jack_status_t status{};
  c.Monitor = jack_client_open(RtMidiClientName, JackNoStartServer, &status);
  if (!c.Monitor) return false;
  jack_set_port_registration_callback(c.Monitor, PortRegistered, &c);
  jack_set_port_connect_callback(c.Monitor, PortConnected, &c);
  jack_on_info_shutdown(c.Monitor, ServerGone, &c);
  if (jack_activate(c.Monitor) != 0) {
    jack_client_close(c.Monitor);
    c.Monitor = nullptr;
    return false;
  }
  c.Backend = mbJack;
  return true;
}

// Whether the port `target` is connected to our port named `ours` (on any of our clients).
bool JackConnected(TConnection& c, const std::string& target, const std::string& ours) {
  jack_port_t* port = jack_port_by_name(c.Monitor, target.c_str());
  if (!port) return false;
  const char** connections = jack_port_get_all_connections(c.Monitor, port);
  bool found = false;
  for (const char** p = connections; p && *p; ++p) {
    const std::string name = *p;
    const std::size_t colon = name.find(':');
    if (colon != std::string::npos && name.compare(colon + 1, std::string::npos, ours) == 0 &&
        IsOurClient(name.substr(0, colon)))
      found = true;
  }
  if (connections) jack_free(connections);
  return found;
}

// JACK shows a new connection to other clients from its next cycle on; a port that vanished
// meanwhile never shows one.
bool AwaitJackConnection(TConnection& c, const std::string& target, const std::string& ours) {
  const auto deadline = std::chrono::steady_clock::now() + kJackConnectWait;
  for (;;) {
    if (JackConnected(c, target, ours)) return true;
    if (!c.Alive() || std::chrono::steady_clock::now() > deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

// The product names of the ports `midi` lists now, ours left out.
std::vector<std::string> ListPorts(TMidiBackend backend, RtMidi& midi) {
  std::vector<std::string> names;
  const unsigned count = midi.getPortCount();
  for (unsigned i = 0; i < count; ++i) {
    const std::string name = ProductName(backend, midi.getPortName(i));
    if (name.empty() || IsOurClient(ClientOf(name))) continue;
    names.push_back(name);
  }
  return names;
}

// The RtMidi port number of the `occurrence`-th port named `name`, or -1.
long FindPort(TMidiBackend backend, RtMidi& midi, const std::string& name, unsigned occurrence) {
  const unsigned count = midi.getPortCount();
  for (unsigned i = 0; i < count; ++i) {
    if (ProductName(backend, midi.getPortName(i)) != name) continue;
    if (occurrence == 0) return static_cast<long>(i);
    --occurrence;
  }
  return -1;
}

struct TPortEntry {
  std::string Name;
  bool Present = false;
};

struct TDevice {
  std::shared_ptr<TConnection> Connection;
  std::string Target;    // the product name of the port we are connected to
  std::string PortName;  // our own port's name
  MidiCallback Callback = nullptr;
  std::uintptr_t Instance = 0;
  std::uintptr_t Handle = 0;
  TErrorTrap Errors;
  bool Gone = false;
  std::uint64_t SeenGeneration = 0;
  std::chrono::steady_clock::time_point LastCheck{};

  // service thread: no allocation, no lock, no throw.
  void Call(std::uint32_t msg, std::uintptr_t param1, std::uintptr_t param2) const noexcept {
    if (Callback) Callback(Handle, msg, Instance, param1, param2);
  }
};

struct TInputDevice : TDevice {
  std::unique_ptr<RtMidiIn> Midi;
  // Dekker pair with InCallback: seq_cst on both sides, so that once stop has seen no
  // callback inside, none that starts later delivers anything.
  std::atomic<bool> Running{false};
  std::atomic<int> InCallback{0};
  std::atomic<std::int64_t> StartNs{0};
  TSpscRing<MIDIHDR*, kInputBufferSlots> Buffers;  // main thread adds, the callback takes
};

struct TOutputDevice : TDevice {
  std::unique_ptr<RtMidiOut> Midi;
  std::atomic<std::uint32_t> InFlight{0};
};

struct TDoneItem {
  TOutputDevice* Device = nullptr;
  MIDIHDR* Header = nullptr;
};

// service thread: no allocation, no lock, no throw.
std::int64_t NowNs() noexcept {
  return std::chrono::duration_cast<std::chrono::nanoseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// service thread: no allocation, no lock, no throw.
void DeliverSysex(TInputDevice& d, const unsigned char* data, std::size_t size,
                  std::uint32_t time) noexcept {
  // A message without its end byte is incomplete; so is one that runs out of buffers.
  const bool complete = data[size - 1] == 0xF7;
  MIDIHDR* header = nullptr;
  if (!d.Buffers.Pop(header)) return;  // no buffer queued: the message is dropped
  std::size_t offset = 0;
  for (;;) {
    const std::size_t take = std::min<std::size_t>(header->dwBufferLength, size - offset);
    std::memcpy(header->lpData, data + offset, take);
    header->dwBytesRecorded = static_cast<std::uint32_t>(take);
    offset += take;
    MIDIHDR* next = nullptr;
    const bool more = offset < size && d.Buffers.Pop(next);
    const bool last = !more;
    const bool whole = offset == size && complete;
    SetHeaderFlags(header, MHDR_DONE, MHDR_INQUEUE);
    d.Call(last && !whole ? MIM_LONGERROR : MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(header),
           time);
    if (last) return;
    header = next;
  }
}

// service thread: no allocation, no lock, no throw.
void InputArrived(double /*delta*/, std::vector<unsigned char>* message, void* user) noexcept {
  auto& d = *static_cast<TInputDevice*>(user);
  // seq_cst: announces this call before it looks at Running (see TInputDevice).
  d.InCallback.fetch_add(1, std::memory_order_seq_cst);
  // seq_cst: the other half of the pair with InCallback.
  if (d.Running.load(std::memory_order_seq_cst) && message && !message->empty()) {
    // relaxed: the start time was written before Running was raised.
    const std::int64_t elapsed = NowNs() - d.StartNs.load(std::memory_order_relaxed);
    const auto time = static_cast<std::uint32_t>(elapsed > 0 ? elapsed / 1000000 : 0);
    const unsigned char* bytes = message->data();
    const std::size_t size = message->size();
    if (bytes[0] == 0xF0) {
      DeliverSysex(d, bytes, size, time);
    } else if (bytes[0] >= 0x80 && bytes[0] != 0xF7) {
      std::uint32_t packed = 0;
      for (std::size_t i = 0; i < size && i < 3; ++i) packed |= std::uint32_t{bytes[i]} << (8 * i);
      d.Call(MIM_DATA, packed, time);
    }
  }
  // release: everything this call did happens before a stop that sees the count drop.
  d.InCallback.fetch_sub(1, std::memory_order_release);
}

// Main thread: no callback of `d` runs after this returns, until input is started again.
void Quiesce(TInputDevice& d) {
  // seq_cst: see TInputDevice.
  d.Running.store(false, std::memory_order_seq_cst);
  // seq_cst: see TInputDevice.
  while (d.InCallback.load(std::memory_order_seq_cst) != 0) std::this_thread::yield();
}

template <typename F>
MMRESULT Guard(F&& body) noexcept {
  try {
    return body();
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  } catch (...) {
    return MMSYSERR_ERROR;
  }
}

}  // namespace

std::size_t RtMidiLongMessageLimit(TMidiBackend backend) {
  switch (backend) {
    case mbJack:
      return kJackLongLimit;
    case mbAlsa:
      return kAlsaLongLimit;
    default:
      return 0;
  }
}

struct TRtMidiService::Impl {
  std::shared_ptr<TConnection> Connection;
  std::vector<TPortEntry> Inputs;
  std::vector<TPortEntry> Outputs;
  std::map<HMIDIIN, std::unique_ptr<TInputDevice>> OpenInputs;
  std::map<HMIDIOUT, std::unique_ptr<TOutputDevice>> OpenOutputs;
  unsigned Serial = 0;

  TSpscRing<TDoneItem, kDoneSlots> Done;
  std::counting_semaphore<> DoneSignal{0};
  std::atomic<bool> Stopping{false};
  std::thread DoneThread;

  Impl() {
    jack_set_error_function(SilentJack);
    jack_set_info_function(SilentJack);
    DoneThread = std::thread([this] { DoneLoop(); });
  }

  ~Impl() {
    // release: the done thread sees the request after its wake-up.
    Stopping.store(true, std::memory_order_release);
    DoneSignal.release();
    DoneThread.join();
    for (auto& [handle, device] : OpenInputs) {
      Quiesce(*device);
      device->Connection->Dispose(device->Midi);
    }
    for (auto& [handle, device] : OpenOutputs) device->Connection->Dispose(device->Midi);
  }

  // service thread: no allocation, no lock, no throw.
  void DoneLoop() noexcept {
    for (;;) {
      DoneSignal.acquire();
      // acquire: pairs with the release in the destructor.
      if (Stopping.load(std::memory_order_acquire)) return;
      TDoneItem item;
      while (Done.Pop(item)) {
        SetHeaderFlags(item.Header, MHDR_DONE, MHDR_INQUEUE);
        item.Device->Call(MOM_DONE, reinterpret_cast<std::uintptr_t>(item.Header), 0);
        // release: the callback has returned before close can see nothing in flight.
        item.Device->InFlight.fetch_sub(1, std::memory_order_release);
      }
    }
  }

  TMidiBackend Backend() const {
    return Connection && Connection->Alive() ? Connection->Backend : mbNone;
  }

  // Finds a backend when there is none, or none any more.
  void Connect() {
    if (Connection && Connection->Alive()) return;
    auto c = std::make_shared<TConnection>();
    if (!OpenJack(*c)) {
      if (!AlsaAnswers()) return;
      c->Backend = mbAlsa;
    }
    try {
      c->ScanIn = std::make_unique<RtMidiIn>(c->Api(), RtMidiClientName);
      c->ScanIn->setErrorCallback(TrapError, &c->ScanErrors);
      c->ScanOut = std::make_unique<RtMidiOut>(c->Api(), RtMidiClientName);
      c->ScanOut->setErrorCallback(TrapError, &c->ScanErrors);
    } catch (...) {
      return;
    }
    Connection = std::move(c);
  }

  static void Merge(std::vector<TPortEntry>& table, const std::vector<std::string>& names) {
    for (TPortEntry& entry : table) entry.Present = false;
    for (const std::string& name : names) {
      bool placed = false;
      for (TPortEntry& entry : table) {
        if (entry.Present || entry.Name != name) continue;
        entry.Present = true;
        placed = true;
        break;
      }
      if (!placed) table.push_back({name, true});
    }
  }

  void Refresh(bool input) {
    Connect();
    if (!Connection || !Connection->Alive()) {
      for (TPortEntry& entry : input ? Inputs : Outputs) entry.Present = false;
      return;
    }
    std::vector<std::string> names;
    try {
      if (input)
        names = ListPorts(Connection->Backend, *Connection->ScanIn);
      else
        names = ListPorts(Connection->Backend, *Connection->ScanOut);
    } catch (...) {
      return;  // keep what we knew
    }
    Merge(input ? Inputs : Outputs, names);
  }

  // How many ports before `id` in `table` carry its name.
  static unsigned Occurrence(const std::vector<TPortEntry>& table, std::uint32_t id) {
    unsigned n = 0;
    for (std::uint32_t i = 0; i < id; ++i)
      if (table[i].Name == table[id].Name) ++n;
    return n;
  }

  // Whether `d` is still connected to its port; a lost connection stays lost.
  MMRESULT Check(TDevice& d, bool input) {
    if (!d.Connection->Alive()) return MMSYSERR_NODRIVER;
    if (d.Gone) return MIDIERR_NODEVICE;
    if (d.Connection->Backend == mbJack) {
      // acquire: pairs with the release of the port notifications.
      const std::uint64_t generation = d.Connection->Generation.load(std::memory_order_acquire);
      if (generation != d.SeenGeneration) {
        d.SeenGeneration = generation;
        if (!JackConnected(*d.Connection, d.Target, d.PortName)) d.Gone = true;
      }
    } else {
      const auto now = std::chrono::steady_clock::now();
      if (now - d.LastCheck >= kAlsaRecheck) {
        d.LastCheck = now;
        try {
          RtMidi& scan = input ? static_cast<RtMidi&>(*d.Connection->ScanIn)
                               : static_cast<RtMidi&>(*d.Connection->ScanOut);
          const std::vector<std::string> names = ListPorts(mbAlsa, scan);
          bool found = false;
          for (const std::string& name : names) found = found || name == d.Target;
          if (!found) d.Gone = true;
        } catch (...) {
        }
      }
    }
    if (!d.Connection->Alive()) return MMSYSERR_NODRIVER;
    return d.Gone ? MIDIERR_NODEVICE : MMSYSERR_NOERROR;
  }

  // Opens RtMidi's port for table entry `id`; 0 or a code.
  template <typename TMidi>
  MMRESULT Attach(TDevice& d, TMidi& midi, const std::vector<TPortEntry>& table, std::uint32_t id,
                  const char* prefix) {
    const TMidiBackend backend = Connection->Backend;
    d.Target = table[id].Name;
    // Unique among all Velora processes, so that a connection check finds this port alone.
    d.PortName = prefix + std::to_string(getpid()) + "." + std::to_string(++Serial);
    // acquire: pairs with the release of the port notifications.
    d.SeenGeneration = Connection->Generation.load(std::memory_order_acquire);
    const long port = FindPort(backend, midi, d.Target, Occurrence(table, id));
    if (port < 0) return MIDIERR_NODEVICE;
    // relaxed: read back on this thread.
    const std::uint32_t errors = d.Errors.Count.load(std::memory_order_relaxed);
    midi.openPort(static_cast<unsigned>(port), d.PortName);
    // relaxed: the trap is written inside openPort on this thread.
    if (d.Errors.Count.load(std::memory_order_relaxed) != errors || !midi.isPortOpen())
      return MMSYSERR_ERROR;
    if (backend == mbJack && !AwaitJackConnection(*Connection, d.Target, d.PortName))
      return MIDIERR_NODEVICE;
    d.LastCheck = std::chrono::steady_clock::now();
    return MMSYSERR_NOERROR;
  }

  TInputDevice* FindInput(HMIDIIN handle) {
    auto it = OpenInputs.find(handle);
    return it == OpenInputs.end() ? nullptr : it->second.get();
  }
  TOutputDevice* FindOutput(HMIDIOUT handle) {
    auto it = OpenOutputs.find(handle);
    return it == OpenOutputs.end() ? nullptr : it->second.get();
  }

  bool ValidOutputId(std::uint32_t id) const { return id == MIDI_MAPPER || id < Outputs.size(); }

  // Sends `size` bytes; 0 or a code, never success for a message the backend refused.
  MMRESULT Send(TOutputDevice& d, const unsigned char* data, std::size_t size) {
    // relaxed: read back on this thread.
    const std::uint32_t errors = d.Errors.Count.load(std::memory_order_relaxed);
    try {
      d.Midi->sendMessage(data, size);
    } catch (...) {
      return MMSYSERR_ERROR;
    }
    // relaxed: the trap is written inside sendMessage on this thread.
    if (d.Errors.Count.load(std::memory_order_relaxed) != errors) return MMSYSERR_ERROR;
    return MMSYSERR_NOERROR;
  }
};

TRtMidiService::TRtMidiService() : FImpl(std::make_unique<Impl>()) {}
TRtMidiService::~TRtMidiService() = default;

TMidiBackend TRtMidiService::Backend() const {
  return FImpl->Backend();
}

std::uint32_t TRtMidiService::midiInGetNumDevs() {
  try {
    FImpl->Refresh(true);
  } catch (...) {
  }
  return static_cast<std::uint32_t>(FImpl->Inputs.size());
}

MMRESULT TRtMidiService::midiInGetDevCapsA(std::uint32_t id, MIDIINCAPS* caps, std::uint32_t size) {
  return Guard([&] {
    if (!caps || size != MIDIINCAPS_SIZE) return MMSYSERR_INVALPARAM;
    if (id != MIDI_MAPPER && id >= FImpl->Inputs.size()) FImpl->Refresh(true);
    if (id >= FImpl->Inputs.size()) return MMSYSERR_BADDEVICEID;
    *caps = MIDIINCAPS{};
    caps->vDriverVersion = kDriverVersion;
    caps->szPname = FImpl->Inputs[id].Name;
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyMidiResultText(code, text, size);
}

MMRESULT TRtMidiService::midiInOpen(HMIDIIN* handle, std::uint32_t id, MidiCallback callback,
                                    std::uintptr_t instance, std::uint32_t flags) {
  return Guard([&] {
    if (!handle) return MMSYSERR_INVALPARAM;
    *handle = nullptr;
    if (flags != 0 && flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    Impl& s = *FImpl;
    s.Refresh(true);
    if (id >= s.Inputs.size()) return MMSYSERR_BADDEVICEID;
    if (!s.Connection || !s.Connection->Alive()) return MMSYSERR_NODRIVER;
    if (!s.Inputs[id].Present) return MIDIERR_NODEVICE;
    auto d = std::make_unique<TInputDevice>();
    d->Connection = s.Connection;
    d->Callback = callback;
    d->Instance = instance;
    d->Handle = reinterpret_cast<std::uintptr_t>(d.get());
    d->Midi = std::make_unique<RtMidiIn>(s.Connection->Api(), RtMidiClientName);
    d->Midi->setErrorCallback(TrapError, &d->Errors);
    // Timing clock, active sensing and sysex all reach the callback: its filters decide.
    d->Midi->ignoreTypes(false, false, false);
    d->Midi->setCallback(InputArrived, d.get());
    const MMRESULT result = s.Attach(*d, *d->Midi, s.Inputs, id, "in-");
    if (result != MMSYSERR_NOERROR) return result;
    const auto h = reinterpret_cast<HMIDIIN>(d.get());
    s.OpenInputs.emplace(h, std::move(d));
    *handle = h;
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInClose(HMIDIIN handle) {
  return Guard([&] {
    TInputDevice* d = FImpl->FindInput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (!d->Buffers.Empty()) return MIDIERR_STILLPLAYING;
    Quiesce(*d);
    auto node = FImpl->OpenInputs.extract(handle);
    d->Connection->Dispose(d->Midi);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInStart(HMIDIIN handle) {
  return Guard([&] {
    TInputDevice* d = FImpl->FindInput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    const MMRESULT state = FImpl->Check(*d, true);
    if (state != MMSYSERR_NOERROR) return state;
    // seq_cst: see TInputDevice.
    if (d->Running.load(std::memory_order_seq_cst)) return MMSYSERR_NOERROR;
    // relaxed: published by the seq_cst store of Running below.
    d->StartNs.store(NowNs(), std::memory_order_relaxed);
    // seq_cst: see TInputDevice; also publishes the start time.
    d->Running.store(true, std::memory_order_seq_cst);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInStop(HMIDIIN handle) {
  return Guard([&] {
    TInputDevice* d = FImpl->FindInput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    Quiesce(*d);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInReset(HMIDIIN handle) {
  return Guard([&] {
    TInputDevice* d = FImpl->FindInput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    Quiesce(*d);
    // The callback is quiet now, so this thread may take from its end of the ring.
    MIDIHDR* header = nullptr;
    while (d->Buffers.Pop(header)) {
      header->dwBytesRecorded = 0;
      SetHeaderFlags(header, MHDR_DONE, MHDR_INQUEUE);
      d->Call(MIM_LONGDATA, reinterpret_cast<std::uintptr_t>(header), 0);
    }
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInPrepareHeader(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  return Guard([&] {
    if (!FImpl->FindInput(handle)) return MMSYSERR_INVALHANDLE;
    if (CheckHeader(header, size) != 0 || !header->lpData || header->dwBufferLength == 0)
      return MMSYSERR_INVALPARAM;
    if (HeaderFlags(header) & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    SetHeaderFlags(header, MHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInUnprepareHeader(HMIDIIN handle, MIDIHDR* header,
                                               std::uint32_t size) {
  return Guard([&] {
    if (!FImpl->FindInput(handle)) return MMSYSERR_INVALHANDLE;
    if (CheckHeader(header, size) != 0) return MMSYSERR_INVALPARAM;
    if (HeaderFlags(header) & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    SetHeaderFlags(header, 0, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiInAddBuffer(HMIDIIN handle, MIDIHDR* header, std::uint32_t size) {
  return Guard([&] {
    TInputDevice* d = FImpl->FindInput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (CheckHeader(header, size) != 0) return MMSYSERR_INVALPARAM;
    const std::uint32_t flags = HeaderFlags(header);
    if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    const MMRESULT state = FImpl->Check(*d, true);
    if (state != MMSYSERR_NOERROR) return state;
    if (d->Buffers.Full()) return MMSYSERR_NOMEM;
    header->dwBytesRecorded = 0;
    SetHeaderFlags(header, MHDR_INQUEUE, MHDR_DONE);
    d->Buffers.Push(header);
    return MMSYSERR_NOERROR;
  });
}

std::uint32_t TRtMidiService::midiOutGetNumDevs() {
  try {
    FImpl->Refresh(false);
  } catch (...) {
  }
  return static_cast<std::uint32_t>(FImpl->Outputs.size());
}

MMRESULT TRtMidiService::midiOutGetDevCapsA(std::uint32_t id, MIDIOUTCAPS* caps,
                                            std::uint32_t size) {
  return Guard([&] {
    if (!caps || size != MIDIOUTCAPS_SIZE) return MMSYSERR_INVALPARAM;
    if (id != MIDI_MAPPER && id >= FImpl->Outputs.size()) FImpl->Refresh(false);
    if (!FImpl->ValidOutputId(id)) return MMSYSERR_BADDEVICEID;
    *caps = MIDIOUTCAPS{};
    caps->vDriverVersion = kDriverVersion;
    caps->szPname = id == MIDI_MAPPER ? RtMidiMapperName : FImpl->Outputs[id].Name;
    caps->wTechnology = id == MIDI_MAPPER ? MOD_MAPPER : MOD_MIDIPORT;
    caps->wChannelMask = 0xFFFF;
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiOutGetErrorTextA(MMRESULT code, char* text, std::uint32_t size) {
  return CopyMidiResultText(code, text, size);
}

MMRESULT TRtMidiService::midiOutOpen(HMIDIOUT* handle, std::uint32_t id, MidiCallback callback,
                                     std::uintptr_t instance, std::uint32_t flags) {
  return Guard([&] {
    if (!handle) return MMSYSERR_INVALPARAM;
    *handle = nullptr;
    if (flags != 0 && flags != CALLBACK_FUNCTION) return MMSYSERR_INVALFLAG;
    Impl& s = *FImpl;
    s.Refresh(false);
    if (!s.ValidOutputId(id)) return MMSYSERR_BADDEVICEID;
    if (!s.Connection || !s.Connection->Alive()) return MMSYSERR_NODRIVER;
    if (id == MIDI_MAPPER) {
      std::uint32_t first = 0;
      while (first < s.Outputs.size() && !s.Outputs[first].Present) ++first;
      if (first == s.Outputs.size()) return MIDIERR_NODEVICE;
      id = first;
    }
    if (!s.Outputs[id].Present) return MIDIERR_NODEVICE;
    auto d = std::make_unique<TOutputDevice>();
    d->Connection = s.Connection;
    d->Callback = callback;
    d->Instance = instance;
    d->Handle = reinterpret_cast<std::uintptr_t>(d.get());
    d->Midi = std::make_unique<RtMidiOut>(s.Connection->Api(), RtMidiClientName);
    d->Midi->setErrorCallback(TrapError, &d->Errors);
    const MMRESULT result = s.Attach(*d, *d->Midi, s.Outputs, id, "out-");
    if (result != MMSYSERR_NOERROR) return result;
    const auto h = reinterpret_cast<HMIDIOUT>(d.get());
    s.OpenOutputs.emplace(h, std::move(d));
    *handle = h;
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiOutClose(HMIDIOUT handle) {
  return Guard([&] {
    TOutputDevice* d = FImpl->FindOutput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    // acquire: the done thread's last callback for this device has returned.
    if (d->InFlight.load(std::memory_order_acquire) != 0) return MIDIERR_STILLPLAYING;
    auto node = FImpl->OpenOutputs.extract(handle);
    d->Connection->Dispose(d->Midi);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiOutShortMsg(HMIDIOUT handle, std::uint32_t msg) {
  return Guard([&] {
    TOutputDevice* d = FImpl->FindOutput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    const unsigned char bytes[3] = {static_cast<unsigned char>(msg & 0xFF),
                                    static_cast<unsigned char>((msg >> 8) & 0xFF),
                                    static_cast<unsigned char>((msg >> 16) & 0xFF)};
    const std::size_t length = ShortMessageLength(bytes[0]);
    if (length == 0) return MMSYSERR_INVALPARAM;
    const MMRESULT state = FImpl->Check(*d, false);
    if (state != MMSYSERR_NOERROR) return state;
    return FImpl->Send(*d, bytes, length);
  });
}

MMRESULT TRtMidiService::midiOutPrepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                              std::uint32_t size) {
  return Guard([&] {
    if (!FImpl->FindOutput(handle)) return MMSYSERR_INVALHANDLE;
    if (CheckHeader(header, size) != 0 || !header->lpData) return MMSYSERR_INVALPARAM;
    if (HeaderFlags(header) & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    SetHeaderFlags(header, MHDR_PREPARED, 0);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiOutUnprepareHeader(HMIDIOUT handle, MIDIHDR* header,
                                                std::uint32_t size) {
  return Guard([&] {
    if (!FImpl->FindOutput(handle)) return MMSYSERR_INVALHANDLE;
    if (CheckHeader(header, size) != 0) return MMSYSERR_INVALPARAM;
    if (HeaderFlags(header) & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    SetHeaderFlags(header, 0, MHDR_PREPARED);
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiOutLongMsg(HMIDIOUT handle, MIDIHDR* header, std::uint32_t size) {
  return Guard([&] {
    Impl& s = *FImpl;
    TOutputDevice* d = s.FindOutput(handle);
    if (!d) return MMSYSERR_INVALHANDLE;
    if (CheckHeader(header, size) != 0) return MMSYSERR_INVALPARAM;
    const std::uint32_t flags = HeaderFlags(header);
    if (!(flags & MHDR_PREPARED)) return MIDIERR_UNPREPARED;
    if (flags & MHDR_INQUEUE) return MIDIERR_STILLPLAYING;
    const std::size_t length = header->dwBufferLength;
    if (length == 0 || length > RtMidiLongMessageLimit(d->Connection->Backend))
      return MMSYSERR_INVALPARAM;
    const MMRESULT state = s.Check(*d, false);
    if (state != MMSYSERR_NOERROR) return state;
    if (s.Done.Full()) return MIDIERR_NOTREADY;
    const MMRESULT sent = s.Send(*d, header->lpData, length);
    if (sent != MMSYSERR_NOERROR) return sent;
    SetHeaderFlags(header, MHDR_INQUEUE, MHDR_DONE);
    // relaxed: published to the done thread by the ring's release.
    d->InFlight.fetch_add(1, std::memory_order_relaxed);
    s.Done.Push({d, header});
    s.DoneSignal.release();
    return MMSYSERR_NOERROR;
  });
}

MMRESULT TRtMidiService::midiOutGetVolume(std::uint32_t id, std::uint32_t* volume) {
  if (!volume) return MMSYSERR_INVALPARAM;
  return FImpl->ValidOutputId(id) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_BADDEVICEID;
}

MMRESULT TRtMidiService::midiOutSetVolume(std::uint32_t id, std::uint32_t) {
  return FImpl->ValidOutputId(id) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_BADDEVICEID;
}

MMRESULT TRtMidiService::midiOutCachePatches(HMIDIOUT handle, std::uint32_t, std::uint16_t*,
                                             std::uint32_t) {
  return FImpl->FindOutput(handle) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT TRtMidiService::midiOutCacheDrumPatches(HMIDIOUT handle, std::uint32_t, std::uint16_t*,
                                                 std::uint32_t) {
  return FImpl->FindOutput(handle) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_INVALHANDLE;
}

MMRESULT TRtMidiService::midiOutMessage(std::uint32_t id, std::uint32_t, std::uintptr_t,
                                        std::uintptr_t) {
  return FImpl->ValidOutputId(id) ? MMSYSERR_NOTSUPPORTED : MMSYSERR_BADDEVICEID;
}

std::unique_ptr<TMidiService> CreateRtMidiService() {
  return std::make_unique<TRtMidiService>();
}

}  // namespace velora
