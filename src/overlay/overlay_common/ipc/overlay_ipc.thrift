// Wire contract between the overlay client (inside the game) and the host application.
// Both sides speak the compact protocol over named pipes; field ids and types are fixed
// because hosts built by other teams depend on them.

namespace cpp Overlay.Ipc.Stub
namespace netstd Overlay.Ipc.Stub
namespace java overlay.ipc.stub
namespace py overlay_ipc
namespace rs overlay_ipc
namespace go overlay_ipc

struct PointI {
  1: i32 x
  2: i32 y
}

struct RectI {
  1: i32 left
  2: i32 top
  3: i32 right
  4: i32 bottom
}

struct SizeD {
  1: double width
  2: double height
}

struct ClientInfo {
  1: i64 id
  2: string version
  3: string pipeName
  4: string shmemName
  // The misspelling is part of the published contract; only the id travels on the wire.
  5: RectI scurfaceBounds
}

struct HostInfo {
  1: bool result
  2: i64 id
  3: string version
}

enum MouseButtonType {
  MBT_LEFT = 0,
  MBT_MIDDLE = 1,
  MBT_RIGHT = 2
}

enum EventFlags {
  EVENTFLAG_NONE = 0,
  EVENTFLAG_CAPS_LOCK_ON = 1,
  EVENTFLAG_SHIFT_DOWN = 2,
  EVENTFLAG_CONTROL_DOWN = 4,
  EVENTFLAG_ALT_DOWN = 8,
  EVENTFLAG_LEFT_MOUSE_BUTTON = 16,
  EVENTFLAG_MIDDLE_MOUSE_BUTTON = 32,
  EVENTFLAG_RIGHT_MOUSE_BUTTON = 64,
  EVENTFLAG_COMMAND_DOWN = 128,
  EVENTFLAG_NUM_LOCK_ON = 256,
  EVENTFLAG_IS_KEY_PAD = 512,
  EVENTFLAG_IS_LEFT = 1024,
  EVENTFLAG_IS_RIGHT = 2048
}

enum KeyEventType {
  KEYEVENT_RAWKEYDOWN = 0,
  KEYEVENT_KEYDOWN = 1,
  KEYEVENT_KEYUP = 2,
  KEYEVENT_CHAR = 3
}

enum OperationResult {
  Success = 0,
  Failure = 1
}

// Enum values travel as plain i32 fields (a KeyEventType, a bit set of EventFlags, ...).
struct KeyEvent {
  1: i32 type
  2: i32 modifiers
  3: i32 windowsKeyCode
  4: i32 nativeKeyCode
  5: bool isSystemKey
  6: i16 character
  7: i16 unmodifiedCharacter
}

struct MouseEvent {
  1: PointI point
  2: i32 modifiers
}

struct MouseMoveEvent {
  1: MouseEvent base
  2: bool mouseLeave
}

struct MouseClickEvent {
  1: MouseEvent base
  2: i32 type
  3: bool mouseUp
  4: i32 clickCount
}

struct MouseWheelEvent {
  1: MouseEvent base
  2: i32 deltaX
  3: i32 deltaY
}

struct TestOverlayInfo {
  1: SizeD relativeSize
  2: i32 color
  3: bool useCef
}

// Implemented by the host; called by the overlay client.
service OverlayHost {
  oneway void onKeyEvent(1: KeyEvent event)
  oneway void onMouseMoveEvent(1: MouseMoveEvent event)
  oneway void onMouseClickEvent(1: MouseClickEvent event)
  oneway void onMouseWheelEvent(1: MouseWheelEvent event)
  oneway void onOverlayShown()
  oneway void onOverlayHidden()
  oneway void onSurfaceBoundsChanged(1: RectI surfaceBounds)
  oneway void onClientStopped(1: i32 stopCode)
  oneway void requestShowOverlay()
  oneway void requestShowTestOverlay(1: TestOverlayInfo info)
  oneway void requestHideOverlay()
  HostInfo registerClient(1: ClientInfo clientInfo)
  i64 getId()
  bool ping()
}

// Implemented by the overlay client on its own pipe server; called by the host.
service OverlayClient {
  bool showOverlay()
  bool hideOverlay()
  bool ping()
}
