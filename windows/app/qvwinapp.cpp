// qvwinapp.exe: qvsim app's console against the real qvscr.sys under Wine.
//
// It reads qvsim app's command language (shared console.md) from --script
// FILE or standard input and prints the same result lines. Readers are
// found through their device interface (GUID_DEVINTERFACE_SMARTCARD_READER,
// with SetupAPI), opened with CreateFile for overlapped I/O and driven with
// DeviceIoControl: a request is sent and waited for at once, a card wait is
// left pending until it completes, is cancelled (CancelIoEx) or its handle
// closes. The status of each request is the NTSTATUS the driver completed it
// with (OVERLAPPED.Internal). card, fault, plug and unplug go to the
// simulator through the stand-in bus's control device; advance lets real
// time pass.
//
//   qvwinapp [--script FILE] [--seed N] [--model M] [--card NAME | --no-card]
//   qvwinapp --install BUS.INF READER.INF    (sets the prefix up, once)
#include <windows.h>
#include <setupapi.h>
#include <newdev.h>
#include <psapi.h>
#include <winsvc.h>
#include <winsmcrd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>
#include <optional>
#include <span>
#include <sstream>
#include <string>
#include <string_view>
#include <vector>

#include "bus_control.h"
#include "harness/console_attributes.h"
#include "harness/console_requests.h"
#include "harness/console_words.h"
#include "smclib/atr_parser.h"
#include "status_text.h"

namespace {

using qv::harness::ApduDetail;
using qv::harness::AttributeDetail;
using qv::harness::HexBytes;
using qv::harness::NextWord;
using qv::harness::ParseApdu;
using qv::harness::ParseNumber;
using qv::harness::ParseProtocolMask;
using qv::harness::ProtocolDetail;
using qv::harness::ReadUlong;
using qv::harness::StateDetail;
using qv::harness::Trim;
using qv::harness::UlongBytes;

constexpr DWORD kAttrAtr = SCARD_ATTR_ATR_STRING, kAttrCurrentIfsd = SCARD_ATTR_CURRENT_IFSD;
constexpr DWORD kAttrDeviceUnit = SCARD_ATTR_DEVICE_UNIT, kAttrCurrentProtocol = SCARD_ATTR_CURRENT_PROTOCOL_TYPE;
constexpr long kStatusPending = 0x00000103;
constexpr long kStatusNoSuchDevice = static_cast<long>(0xC000000E);
constexpr long kStatusUnsuccessful = static_cast<long>(0xC0000001);
constexpr DWORD kPowerOutputLength = 64;
constexpr DWORD kApduOutputLength = 1024;
constexpr DWORD kDefaultAttrLength = 256;
// How long the console waits for Plug and Play to report a reader's
// arrival or removal, and for the bus to come up.
constexpr DWORD kArrivalMs = 20000;
constexpr DWORD kSettleMs = 5000;

const GUID kSmartcardReaderInterface = {0x50DD5230, 0xBA8A, 0x11D1, {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};


extern "C" NTSTATUS NTAPI RtlGetLastNtStatus(void);



struct Result {
    long status = 0;
    std::vector<BYTE> output;
};

// A card wait left pending on a handle.
struct Wait {
    HANDLE handle = INVALID_HANDLE_VALUE;
    OVERLAPPED overlapped{};
    DWORD input = 0;
    BYTE output[4]{};
};

// The interface paths of the readers present now, by the bus's reader
// number (the device's instance id).
std::vector<std::pair<int, std::wstring>> ReaderPaths() {
    std::vector<std::pair<int, std::wstring>> paths;
    HDEVINFO set = SetupDiGetClassDevsW(&kSmartcardReaderInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
    if (set == INVALID_HANDLE_VALUE) return paths;
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    for (DWORD index = 0; SetupDiEnumDeviceInterfaces(set, nullptr, &kSmartcardReaderInterface, index, &data); ++index) {
        BYTE buffer[1024];
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(buffer);
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof device;
        if (!SetupDiGetDeviceInterfaceDetailW(set, &data, detail, sizeof buffer, nullptr, &device)) continue;
        WCHAR instance[256];
        if (!SetupDiGetDeviceInstanceIdW(set, &device, instance, 256, nullptr)) continue;
        // USB\VID_2F3A&PID_0038\NN: NN is the bus's reader number in hex.
        const std::wstring id = instance;
        const auto slash = id.rfind(L'\\');
        if (slash == std::wstring::npos) continue;
        paths.emplace_back(static_cast<int>(std::wcstoul(id.c_str() + slash + 1, nullptr, 16)), detail->DevicePath);
    }
    SetupDiDestroyDeviceInfoList(set);
    return paths;
}

std::optional<std::wstring> PathOf(int number) {
    for (auto& [n, path] : ReaderPaths()) {
        if (n == number) return path;
    }
    return std::nullopt;
}

class Console {
  public:
    bool Start(std::string& why) {
        for (DWORD waited = 0; waited < kArrivalMs; waited += 100) {
            bus_ = CreateFileW(QV_BUS_CONTROL_NAME, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (bus_ != INVALID_HANDLE_VALUE) break;
            Sleep(100);
        }
        if (bus_ == INVALID_HANDLE_VALUE) {
            why = "the stand-in USB bus is not there";
            return false;
        }
        readers_.push_back({0, {}});
        if (!WaitForArrival(0)) {
            why = "reader 0 did not arrive";
            return false;
        }
        const long status = Open(0);
        if (status != 0) {
            why = "reader 0 did not open: " + StatusText(status);
            return false;
        }
        return true;
    }

    void Execute(std::string_view line) {
        line = Trim(line);
        if (const auto hash = line.find('#'); hash != std::string_view::npos) line = Trim(line.substr(0, hash));
        if (line.empty()) return;
        std::string_view rest = line;
        const std::string_view verb = NextWord(rest);
        if (verb == "card" || verb == "fault") return Simulator(line);
        if (verb == "advance") return Advance(rest);
        if (verb == "power") return Power(rest);
        if (verb == "state") return State();
        if (verb == "attr") return Attr(rest);
        if (verb == "ioctl") return Ioctl(rest);
        if (verb == "caps") return Caps();
        if (verb == "wait") return StartWait(rest);
        if (verb == "cancel") return CancelWait();
        if (verb == "protocol") return Protocol(rest);
        if (verb == "apdu") return Apdu(rest);
        if (verb == "open") return ResultLine("open", Open(current_));
        if (verb == "close" || verb == "cleanup") return Close(std::string(verb));
        if (verb == "plug") return Plug(rest);
        if (verb == "unplug") return Unplug();
        if (verb == "reader") return SelectReader(rest);
        Error("unknown command '" + std::string(verb) + "' in the Windows console");
    }

    // Closes what is still open, unplugs every reader and stops the
    // driver's winedevice host (StopDriverHost); says whether that went
    // cleanly, the driver's unload routine run.
    int Finish() {
        std::vector<std::string> left;
        for (std::size_t i = 0; i < readers_.size(); ++i) {
            for (HANDLE h : readers_[i].handles) CloseHandle(h);
            readers_[i].handles.clear();
        }
        SettleWaits(kSettleMs);
        if (!waits_.empty()) left.push_back(std::to_string(waits_.size()) + " card wait(s) never completed");
        for (std::size_t i = 0; i < readers_.size(); ++i) {
            if (readers_[i].gone) continue;
            std::string answer;
            if (!Command(readers_[i].number, "unplug", answer)) continue;
            if (!WaitForRemoval(readers_[i].number)) left.push_back("reader " + std::to_string(i) + " was not removed");
        }
        const std::string unload = StopDriverHost();
        if (!unload.empty()) left.push_back(unload);
        std::string line = "qvwinapp: ";
        if (left.empty()) {
            line += "clean, the driver's unload routine ran and qvscr.sys is unloaded";
        } else {
            line += "left behind:";
            for (const std::string& what : left) line += " " + what + ";";
        }
        Print(line);
        return left.empty() ? 0 : 1;
    }

  private:
    struct Reader {
        int number = 0;
        std::vector<HANDLE> handles;
        bool gone = false;
    };

    void Print(const std::string& line) {
        std::cout << line << "\n" << std::flush;
    }
    void Error(const std::string& text) { Print("error: " + text); }
    void ResultLine(const std::string& word, long status, const std::string& detail = {}) {
        std::string line = word + ": " + StatusText(status);
        if (status >= 0 && !detail.empty()) line += " " + detail;
        Print(line);
    }

    HANDLE Handle() {
        if (current_ >= readers_.size() || readers_[current_].handles.empty()) return INVALID_HANDLE_VALUE;
        return readers_[current_].handles.back();
    }

    std::optional<Result> Request(DWORD code, std::span<const BYTE> input, DWORD outputLength) {
        HANDLE handle = Handle();
        if (handle == INVALID_HANDLE_VALUE) {
            Error("no handle is open on this reader");
            return std::nullopt;
        }
        return Request(handle, code, input, outputLength);
    }

    static Result Request(HANDLE handle, DWORD code, std::span<const BYTE> input, DWORD outputLength) {
        Result result;
        result.output.resize(outputLength);
        OVERLAPPED overlapped{};
        overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        std::vector<BYTE> in(input.begin(), input.end());
        const BOOL done = DeviceIoControl(handle, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                                          result.output.empty() ? nullptr : result.output.data(), outputLength, &bytes, &overlapped);
        if (done || GetLastError() == ERROR_IO_PENDING) {
            GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
            result.status = static_cast<long>(overlapped.Internal);
            bytes = static_cast<DWORD>(overlapped.InternalHigh);
        } else {
            result.status = RtlGetLastNtStatus();
            bytes = 0;
        }
        CloseHandle(overlapped.hEvent);
        result.output.resize(result.status < 0 ? 0 : std::min<DWORD>(bytes, outputLength));
        return result;
    }


    // A command for the simulator through the bus; false when refused.
    bool Command(int number, std::string_view text, std::string& answer) {
        std::vector<BYTE> in{static_cast<BYTE>(number)};
        in.insert(in.end(), text.begin(), text.end());
        std::vector<char> out(4096);
        DWORD bytes = 0;
        if (!DeviceIoControl(bus_, IOCTL_QVBUS_COMMAND, in.data(), static_cast<DWORD>(in.size()), out.data(),
                             static_cast<DWORD>(out.size()), &bytes, nullptr) || bytes == 0) {
            answer = "the stand-in bus did not answer";
            return false;
        }
        answer.assign(out.data() + 1, bytes - 1);
        return out[0] == 0;
    }

    void Simulator(std::string_view line) {
        std::string answer;
        const bool ok = Command(readers_.at(current_).number, line, answer);
        if (!ok) return Error(answer);
        std::istringstream lines(answer);
        for (std::string each; std::getline(lines, each);) Print(each);
    }

    void ReportDone(std::size_t index) {
        Wait& wait = *waits_[index];
        ResultLine("wait", static_cast<long>(wait.overlapped.Internal));
        CloseHandle(wait.overlapped.hEvent);
        delete waits_[index];
        waits_.erase(waits_.begin() + static_cast<std::ptrdiff_t>(index));
    }

    // Reports the waits that complete within ms milliseconds, as they do;
    // returns early once none is pending.
    void SettleWaits(DWORD ms) {
        const DWORD start = GetTickCount();
        while (!waits_.empty()) {
            std::vector<HANDLE> events;
            for (Wait* wait : waits_) events.push_back(wait->overlapped.hEvent);
            const DWORD elapsed = GetTickCount() - start;
            if (elapsed >= ms) break;
            const DWORD got = WaitForMultipleObjects(static_cast<DWORD>(events.size()), events.data(), FALSE, ms - elapsed);
            if (got >= WAIT_OBJECT_0 + events.size()) break;
            ReportDone(got - WAIT_OBJECT_0);
        }
    }

    void PollWaits() { SettleWaits(0); }

    void Advance(std::string_view arguments) {
        DWORD ms = 0;
        if (!ParseNumber(Trim(arguments), ms) || ms > 86400000) return Error("advance takes milliseconds, 0 to 86400000");
        const DWORD start = GetTickCount();
        SettleWaits(ms);
        const DWORD elapsed = GetTickCount() - start;
        if (elapsed < ms) Sleep(ms - elapsed);
    }

    void Power(std::string_view arguments) {
        const std::optional<std::uint32_t> minor = qv::harness::ParsePowerAction(arguments);
        if (!minor) return Error("power down, power cold or power warm");
        const auto result = Request(IOCTL_SMARTCARD_POWER, UlongBytes(*minor), kPowerOutputLength);
        if (!result) return;
        ResultLine("power " + std::string(Trim(arguments)), result->status,
                   *minor == qv::harness::kConsolePowerDown ? std::string() : "ATR " + HexBytes(result->output));
    }

    void State() {
        const auto result = Request(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(DWORD));
        if (!result) return;
        ResultLine("state", result->status, StateDetail(result->output));
    }

    void Attr(std::string_view arguments) {
        std::string error;
        const std::optional<qv::harness::AttrArguments> attr = qv::harness::ParseAttr(arguments, kDefaultAttrLength, error);
        if (!attr) return Error(error);
        const auto result = Request(IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(attr->id), attr->outputLength);
        if (!result) return;
        ResultLine("attr", result->status, AttributeDetail(result->output, attr->known != nullptr && attr->known->text));
    }

    void Ioctl(std::string_view arguments) {
        std::string error;
        const std::optional<qv::harness::IoctlArguments> ioctl = qv::harness::ParseIoctl(arguments, error);
        if (!ioctl) return Error(error);
        const auto result = Request(ioctl->code, ioctl->input, ioctl->outputLength);
        if (!result) return;
        ResultLine("ioctl", result->status, HexBytes(result->output));
    }

    void Protocol(std::string_view arguments) {
        DWORD mask = 0;
        if (!ParseProtocolMask(arguments, mask)) return Error("protocol t0, t1, any or 0xMASK");
        const auto result = Request(IOCTL_SMARTCARD_SET_PROTOCOL, UlongBytes(mask), sizeof(DWORD));
        if (!result) return;
        ResultLine("protocol", result->status, ProtocolDetail(result->output));
    }

    // The header an application puts in front of the APDU: the protocol the
    // card runs, as the reader reported it (SCARD_ATTR_CURRENT_PROTOCOL_TYPE).
    void Apdu(std::string_view arguments) {
        std::vector<BYTE> apdu;
        if (!ParseApdu(arguments, apdu)) return Error("apdu takes the command APDU as hex digits in pairs");
        HANDLE handle = Handle();
        if (handle == INVALID_HANDLE_VALUE) return Error("no handle is open on this reader");
        const Result current = Request(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(kAttrCurrentProtocol), sizeof(DWORD));
        const DWORD protocol = current.status >= 0 && current.output.size() >= 4 ? ReadUlong(current.output) : 0;
        std::vector<BYTE> request = UlongBytes(protocol);
        const std::vector<BYTE> length = UlongBytes(8);
        request.insert(request.end(), length.begin(), length.end());
        request.insert(request.end(), apdu.begin(), apdu.end());
        const auto result = Request(handle, IOCTL_SMARTCARD_TRANSMIT, request, kApduOutputLength);
        std::string detail;
        if (result.output.size() >= 8) detail = ApduDetail(std::span<const BYTE>(result.output).subspan(8));
        ResultLine("apdu", result.status, detail);
    }

    // The card capabilities as an application can learn them: the library's
    // ATR parser over the ATR the reader reports, and the IFSD the library
    // announced. No request returns the library's own record.
    void Caps() {
        HANDLE handle = Handle();
        if (handle == INVALID_HANDLE_VALUE) return Error("no handle is open on this reader");
        const Result atrResult = Request(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(kAttrAtr), 64);
        const Result ifsdResult = Request(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(kAttrCurrentIfsd), 4);
        const auto atr = std::span<const std::uint8_t>(atrResult.output.data(), atrResult.output.size());
        const qv::smclib::ParsedAtr parsed = qv::smclib::ParseAtr(atr);
        const bool none = atr.empty() || (!parsed.Ok() && parsed.fault != qv::smclib::AtrFault::BadTck);
        const unsigned protocols = none ? 0 : parsed.offered & 3;
        const char* names = protocols == 3 ? "T0,T1" : protocols == 1 ? "T0" : protocols == 2 ? "T1" : "none";
        std::string tck = "none";
        if (parsed.fault == qv::smclib::AtrFault::BadTck) {
            tck = "bad";
        } else if (parsed.tckPresent) {
            tck = "ok";
        }
        const DWORD ifsd = ifsdResult.output.size() >= 4 ? ReadUlong(ifsdResult.output) : 0;
        Print("caps: Fl " + std::to_string(none ? 0 : parsed.fi) + " Dl " + std::to_string(none ? 0 : parsed.di) + " N " +
              std::to_string(none ? 0 : parsed.n) + " protocols " + names + " IFSC " + std::to_string(parsed.ifsc) + " IFSD " +
              std::to_string(ifsd) + " CWI " + std::to_string(parsed.cwi) + " BWI " + std::to_string(parsed.bwi) + " EDC " +
              ((parsed.edc & 1) != 0 ? "CRC" : "LRC") + " ClockStop " + std::to_string(parsed.clockStop) + " TCK " + tck);
    }

    void StartWait(std::string_view arguments) {
        const std::string_view what = Trim(arguments);
        DWORD code = 0;
        if (what == "present") {
            code = IOCTL_SMARTCARD_IS_PRESENT;
        } else if (what == "absent") {
            code = IOCTL_SMARTCARD_IS_ABSENT;
        } else {
            return Error("wait present or wait absent");
        }
        HANDLE handle = Handle();
        if (handle == INVALID_HANDLE_VALUE) return Error("no handle is open on this reader");
        auto* wait = new Wait;
        wait->handle = handle;
        wait->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        DWORD bytes = 0;
        const BOOL done = DeviceIoControl(handle, code, nullptr, 0, nullptr, 0, &bytes, &wait->overlapped);
        if (!done && GetLastError() != ERROR_IO_PENDING) {
            ResultLine("wait", RtlGetLastNtStatus());
            CloseHandle(wait->overlapped.hEvent);
            delete wait;
            return;
        }
        waits_.push_back(wait);
        if (WaitForSingleObject(wait->overlapped.hEvent, 0) == WAIT_OBJECT_0) return PollWaits();
        Print("wait: " + StatusText(kStatusPending));
    }

    void CancelWait() {
        if (waits_.empty()) return Error("no wait is pending");
        CancelIoEx(waits_.front()->handle, &waits_.front()->overlapped);
        SettleWaits(kSettleMs);
    }

    // CreateFile as on Windows, where a create the driver refuses leaves no
    // handle. Wine makes the handle before the driver answers; the stand-in
    // bus keeps the driver's answer (IOCTL_QVBUS_CREATE_STATUS), and a
    // refused handle is closed again at once.
    static long OpenReader(const std::wstring& path, HANDLE& handle) {
        handle = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (handle == INVALID_HANDLE_VALUE) return RtlGetLastNtStatus();
        const Result created = Request(handle, IOCTL_QVBUS_CREATE_STATUS, {}, sizeof(DWORD));
        const long status = created.status >= 0 && created.output.size() >= 4 ? static_cast<long>(ReadUlong(created.output)) : 0;
        if (status < 0) {
            CloseHandle(handle);
            handle = INVALID_HANDLE_VALUE;
        }
        return status;
    }

    long Open(std::size_t index) {
        if (index >= readers_.size() || readers_[index].gone) return kStatusNoSuchDevice;
        const auto path = PathOf(readers_[index].number);
        if (!path) return kStatusNoSuchDevice;
        HANDLE handle = INVALID_HANDLE_VALUE;
        const long status = OpenReader(*path, handle);
        if (status < 0) return status;
        readers_[index].handles.push_back(handle);
        return 0;
    }

    void Close(const std::string& word) {
        if (current_ >= readers_.size() || readers_[current_].handles.empty()) return Error("no handle is open on this reader");
        HANDLE handle = readers_[current_].handles.back();
        readers_[current_].handles.pop_back();
        CloseHandle(handle);
        // The cleanup ends the handle's card wait: reported before the close.
        bool pending = false;
        for (Wait* wait : waits_) pending = pending || wait->handle == handle;
        if (pending) SettleWaits(kSettleMs);
        ResultLine(word, 0);
    }

    bool WaitForArrival(int number) {
        for (DWORD waited = 0; waited < kArrivalMs; waited += 100) {
            if (PathOf(number)) return true;
            Sleep(100);
        }
        return false;
    }

    bool WaitForRemoval(int number) {
        for (DWORD waited = 0; waited < kArrivalMs; waited += 100) {
            if (!PathOf(number)) return true;
            Sleep(100);
        }
        return false;
    }

    void Plug(std::string_view arguments) {
        std::string answer;
        if (!Command(0, "plug " + std::string(Trim(arguments)), answer)) return Error(answer);
        const int number = std::atoi(answer.c_str() + std::strlen("plugged "));
        readers_.push_back({number, {}});
        if (!WaitForArrival(number)) return ResultLine("plug", kStatusUnsuccessful);
        // The unit the driver gave the reader, through a handle of its own.
        const auto path = PathOf(number);
        HANDLE handle = INVALID_HANDLE_VALUE;
        if (path) OpenReader(*path, handle);
        std::string detail;
        if (handle != INVALID_HANDLE_VALUE) {
            const Result unit = Request(handle, IOCTL_SMARTCARD_GET_ATTRIBUTE, UlongBytes(kAttrDeviceUnit), sizeof(DWORD));
            if (unit.status >= 0 && unit.output.size() >= 4) detail = "unit " + std::to_string(ReadUlong(unit.output));
            CloseHandle(handle);
        }
        ResultLine("plug", 0, detail);
    }

    void Unplug() {
        if (current_ >= readers_.size() || readers_[current_].gone) return Error("this reader is not plugged in");
        std::string answer;
        if (!Command(readers_[current_].number, "unplug", answer)) return Error(answer);
        readers_[current_].gone = true;
        // Plug and Play has the surprise removal on its way; the reader's
        // interface goes when the driver has taken it.
        WaitForRemoval(readers_[current_].number);
        ResultLine("unplug", 0);
    }

    void SelectReader(std::string_view arguments) {
        DWORD index = 0;
        if (!ParseNumber(Trim(arguments), index) || index >= readers_.size()) {
            return Error("reader takes the index of a plugged reader (see readers)");
        }
        current_ = index;
    }

    // Windows unloads a Plug and Play function driver, calling its unload
    // routine, once its last device is removed. Wine keeps it loaded until
    // the winedevice process hosting it stops, and its service, which Wine
    // started for the bus's device and not through the service manager,
    // takes no stop request. So the end stops the host process's group
    // service: Wine removes what devices are left, calls the unload routine
    // of every driver in the process and reports each driver's service
    // stopped, which it does only once the routine has returned (a driver
    // without one, or a process that died, leaves the service running).
    std::string StopDriverHost() {
        SC_HANDLE manager = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS);
        if (manager == nullptr) return "the service manager is not there";
        std::string problem;
        SC_HANDLE driver = OpenServiceW(manager, L"qvscr", SERVICE_QUERY_STATUS);
        const std::wstring host = HostService(manager, L"qvscr.sys");
        SC_HANDLE group = host.empty() ? nullptr : OpenServiceW(manager, host.c_str(), SERVICE_STOP);
        SERVICE_STATUS status{};
        if (driver == nullptr) {
            problem = "the qvscr service is not there";
        } else if (group == nullptr) {
            problem = "no winedevice process has qvscr.sys loaded";
        } else if (!ControlService(group, SERVICE_CONTROL_STOP, &status)) {
            problem = "the driver's host process did not take the stop request";
        } else {
            bool stopped = false;
            for (DWORD waited = 0; waited < kArrivalMs && !stopped; waited += 100) {
                stopped = QueryServiceStatus(driver, &status) && status.dwCurrentState == SERVICE_STOPPED;
                if (!stopped) Sleep(100);
            }
            if (!stopped) problem = "the qvscr service did not stop (its unload routine did not run)";
        }
        if (group != nullptr) CloseServiceHandle(group);
        if (driver != nullptr) CloseServiceHandle(driver);
        CloseServiceHandle(manager);
        return problem;
    }

    // The group service whose process has the module loaded: Wine runs
    // kernel drivers in winedevice.exe processes, each one a service.
    static std::wstring HostService(SC_HANDLE manager, const wchar_t* module) {
        DWORD needed = 0;
        DWORD count = 0;
        EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, nullptr, 0, &needed, &count,
                              nullptr, nullptr);
        std::vector<BYTE> buffer(needed);
        if (needed == 0 || !EnumServicesStatusExW(manager, SC_ENUM_PROCESS_INFO, SERVICE_WIN32, SERVICE_ACTIVE, buffer.data(),
                                                  needed, &needed, &count, nullptr, nullptr)) {
            return {};
        }
        const auto* services = reinterpret_cast<const ENUM_SERVICE_STATUS_PROCESSW*>(buffer.data());
        for (DWORD i = 0; i < count; ++i) {
            const DWORD id = services[i].ServiceStatusProcess.dwProcessId;
            if (id != 0 && ProcessHasModule(id, module)) return services[i].lpServiceName;
        }
        return {};
    }

    static bool ProcessHasModule(DWORD processId, const wchar_t* module) {
        HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
        if (process == nullptr) return false;
        HMODULE modules[256];
        DWORD bytes = 0;
        bool found = false;
        if (EnumProcessModules(process, modules, sizeof modules, &bytes)) {
            for (DWORD i = 0; i < bytes / sizeof(HMODULE) && i < std::size(modules) && !found; ++i) {
                wchar_t name[MAX_PATH];
                found = GetModuleBaseNameW(process, modules[i], name, MAX_PATH) != 0 && _wcsicmp(name, module) == 0;
            }
        }
        CloseHandle(process);
        return found;
    }

    HANDLE bus_ = INVALID_HANDLE_VALUE;
    std::vector<Reader> readers_;
    std::size_t current_ = 0;
    std::vector<Wait*> waits_;
    DWORD protocol_ = 0;
};

// The prefix's one-time set-up: the stand-in bus as a root-enumerated
// device with its driver, and qvscr.inf among the system's INFs, so that
// Plug and Play installs qvscr.sys for the readers the bus reports.
int Install(const char* busInf, const char* readerInf) {
    char destination[MAX_PATH];
    if (!SetupCopyOEMInfA(readerInf, nullptr, SPOST_NONE, 0, destination, sizeof destination, nullptr, nullptr)) {
        std::fprintf(stderr, "qvwinapp: SetupCopyOEMInf(%s) failed: %lu\n", readerInf, GetLastError());
        return 1;
    }
    const GUID systemClass = {0x4D36E97D, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
    HDEVINFO set = SetupDiCreateDeviceInfoList(&systemClass, nullptr);
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof device;
    if (!SetupDiCreateDeviceInfoA(set, "ROOT\\QVUSBBUS\\0000", &systemClass, nullptr, nullptr, 0, &device)) {
        std::fprintf(stderr, "qvwinapp: SetupDiCreateDeviceInfo failed: %lu\n", GetLastError());
        return 1;
    }
    static const char hardwareId[] = "Root\\QvUsbBus\0";
    if (!SetupDiSetDeviceRegistryPropertyA(set, &device, SPDRP_HARDWAREID, reinterpret_cast<const BYTE*>(hardwareId), sizeof hardwareId) ||
        !SetupDiCallClassInstaller(DIF_REGISTERDEVICE, set, &device)) {
        std::fprintf(stderr, "qvwinapp: registering the bus device failed: %lu\n", GetLastError());
        return 1;
    }
    SetupDiDestroyDeviceInfoList(set);
    BOOL reboot = FALSE;
    if (!UpdateDriverForPlugAndPlayDevicesA(nullptr, "Root\\QvUsbBus", busInf, INSTALLFLAG_FORCE, &reboot)) {
        std::fprintf(stderr, "qvwinapp: installing the bus driver failed: %lu\n", GetLastError());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char** argv) {
    std::string script;
    std::string header = "qvwinapp: seed 1, reader QV-38N, card dual";
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--install" && i + 2 < argc) return Install(argv[i + 1], argv[i + 2]);
        if (arg == "--script" && i + 1 < argc) {
            script = argv[++i];
        } else if ((arg == "--seed" || arg == "--model" || arg == "--card") && i + 1 < argc) {
            ++i; // the simulator's options: qvwinhost takes them
        } else if (arg == "--no-card") {
        } else if (arg == "--header" && i + 1 < argc) {
            header = argv[++i];
        } else {
            std::fprintf(stderr, "qvwinapp: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    std::ifstream file;
    if (!script.empty()) {
        file.open(script);
        if (!file) {
            std::fprintf(stderr, "qvwinapp: cannot read %s\n", script.c_str());
            return 2;
        }
    }
    std::istream& in = script.empty() ? std::cin : file;
    std::cout << header << "\n" << std::flush;
    Console console;
    std::string why;
    if (!console.Start(why)) {
        std::cout << "qvwinapp: stopped before the first command: " << why << "\n";
        return 1;
    }
    for (std::string line; std::getline(in, line);) {
        const std::string_view trimmed = Trim(line);
        if (trimmed == "quit" || trimmed == "exit") break;
        console.Execute(line);
    }
    return console.Finish();
}
