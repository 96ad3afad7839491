#include "cli/cli_help.h"
#include <cwchar>

static const wchar_t help_main[] = LR"TXT(ivrac 0.2.12 — command-line client for the Ivra capture agent.

Usage: ivrac [global flags] <command> [args]

Commands:
  shot        capture a screenshot (monitor, window, region, or interactive pick)
  clip        record a video clip (<= 30 s): start|stop|pause|resume|redo|cancel|status
  replay      keep the last 30 s buffered and save it: on|off|status|save
  account     link this PC to your Second Life account (optional): status|link|unlink|open
  upload      upload captures to your Ivra account: <files> | status|retry|clear|mode
  windows     list capturable top-level windows
  screens     list monitors known to the agent (alias: desktops)
  last        print paths of recent captures
  status      show agent status (exit 3 if not running)
  input       show hotkey routes and selection input diagnostics
  agent       start|stop|restart|fix-cursor|dump|autostart on|off|status
  config      get|set|reset|schema|path for config.ini
  settings    open|close|status|focus the settings window
  folders     list folder1..9 capture slot dirs
  storage     drive usage + Ivra folder sizes
  agent-docs  print a compact guide for LLM agents
  help        show help for a command

Global flags:
  --json      machine-readable output on stdout
  -q, --quiet suppress progress notes on stderr
  -h, --help  show help
  --version   print version and exit

Run 'ivrac <command> --help' for details.
)TXT";

static const wchar_t help_shot[] = LR"TXT(Take a screenshot via the running agent (auto-starts it if needed).

Usage: ivrac shot [target] [options]

Target (default: monitor under cursor):
  --active              foreground window (fails if it is this console)
  --window <query>      unique window matching title/class/exe substring
  --hwnd <n|0x..>       window by handle (decimal, 0x hex, or the agent's 16 hex digits)
  --pid <n>             first top-level window of a process
  --screen <i>          monitor index from 'ivrac screens' (alias: --desktop)
  --region x,y,w,h      virtual-desktop rect; with --screen it is local to that
                        monitor (0,0 = its top-left)
  --pick                interactive drag selection
Options:
  --occluded            force PrintWindow (can see occluded windows)
  --format png|jpg      override configured format
  --quality <1-100>     jpeg quality (default: config jpeg_quality)
  -o <path>             output path (default: timestamped file in stills_dir);
                        .png, .jpg or .jpeg, which sets the format
  --folder <name|1-9>   name: save under stills_dir\<name> (created); digit: save
                        into the folderN slot dir from config (cannot be
                        combined with -o)
  --stdout              write image bytes to stdout (nothing else on stdout)
  --silent              do not play the capture sound
  --timeout <ms>        capture timeout (default 10000, pick 60000)

Output: image path on stdout, or a JSON object with --json
        (includes "screen" and virtual-coords "region" when used).
Exit: 0 ok, 1 capture failed, 2 usage, 3 agent unavailable,
      4 unknown/ambiguous target. With --json, errors also print
      {"error":"<code>","message":"<text>"} on stdout.

Examples:
  ivrac shot --json
  ivrac shot --window "File Explorer" -o C:\tmp\n.png
  ivrac shot --screen 1 --region 0,0,800,600
  ivrac shot --region 100,100,640,360 --format jpg
  ivrac shot --stdout > out.png
)TXT";

static const wchar_t help_clip[] = LR"TXT(Record an MP4 clip (H.264, hardware encoded, at most 30 s) via the agent.
One clip records at a time; earlier clips keep finalizing in the background.

Usage: ivrac clip start [target] [options]
       ivrac clip stop|cancel [--wait]
       ivrac clip pause|resume|toggle|redo
       ivrac clip status [--json]
       ivrac clip ui [--json]
       ivrac clip mic|system [on|off|toggle]   (current clip only)

Target (default: monitor under cursor):
  --active              foreground window (follows it as it moves)
  --window <query>      unique window matching title/class/exe substring
  --hwnd <n|0x..>       window by handle
  --pid <n>             first top-level window of a process
  --screen <n>          monitor n (see 'ivrac screens') (alias: --desktop)
  --region x,y,w,h      region (virtual coords, or local with --screen); clipped
                        to the monitor it overlaps most
  --pick                drag a region with the overlay (Esc cancels)
Options:
  --seconds <1-30>      stop automatically after this long (default 30)
  --wait                block until the clip is saved; print its path
  --folder <name|1-9>   subfolder of clips_dir, or capture slot 1-9
  -o <path>             exact output path (.mp4)
  --silent              no start/stop sounds, no toast
  --no-bar              no on-screen control bar or region frame
  --mic, --no-mic       record the microphone (default: clip_audio_mic)
  --system, --no-system record system sound (default: clip_audio_system);
                        Ivra's own sounds are never recorded
  --no-audio            no audio track at all

While recording, a control bar (timer, desktop-audio toggle with a level
meter, pause, redo, cancel, Save) and a frame around the recorded area are
shown; both are excluded from the clip.
'clip ui --json' reports the bar and frame: visible, session, bar (x,y,w,h),
bar_inside, frame (x,y,w,h), frame_inside, excluded_from_capture.

stop saves, cancel discards. redo throws the current take away and starts
again instantly on the same target. Paused time is not recorded and does not
count toward the limit.

Output: start prints the path of the file that will be written (with --wait
the saved path); --json prints the agent's fields as one JSON object.
Exit: 0 ok, 1 failed, 2 usage, 3 agent unavailable, 4 target not found,
      5 idle/busy (nothing recording / already recording)

Examples:
  ivrac clip start --screen 0 --seconds 5 --wait
  ivrac clip start --window "Firefox"
  ivrac clip stop --wait --json
)TXT";

static const wchar_t help_replay[] =
    LR"TXT(Replay: while on, the agent keeps the last 30 s of the primary monitor (and desktop audio, without Ivra's own sounds) in memory; saving writes an MP4 in the background while buffering continues.

Usage: ivrac replay on|off          (persists replay_enabled)
       ivrac replay status [--json]
       ivrac replay save [--seconds 1-30] [-o path] [--wait] [--silent]

Saves start on a keyframe (every 0.5 s), so a 30 s save is 29.5-30 s.
Audio follows clip_audio_system. The hk_replay hotkey saves too; while replay is off it shows how to turn it on (exit 5 here).
)TXT";

static const wchar_t help_account[] =
    LR"TXT(Link this PC to an Ivra web account (a Second Life avatar). Optional: without a link Ivra saves captures locally only. Linking IMs a code to your avatar.

Usage: ivrac account [status] [--offline] [--json]
       ivrac account link [<sl username>]   (interactive: asks for the IM'd code)
       ivrac account unlink                  (this PC only; captures are kept)
       ivrac account open                    (your captures on the web)

status checks the device token with the server unless --offline (token: valid | revoked | unreachable). The token is stored per Windows user, DPAPI-encrypted, in %APPDATA%\Ivra\account.dat. The server is the server_url config key (IVRA_SERVER overrides it).

Exit codes: 0 ok, 1 failed, 2 usage, 6 not linked (status).
)TXT";

static const wchar_t help_upload[] =
    LR"TXT(Upload captures to the linked Ivra account through the agent's upload queue (upload_workers parallel uploads, retried with back-off, survives restarts).

Usage: ivrac upload <file>... [--wait]   queue .png/.jpg/.mp4 files
       ivrac upload status [--json]       queue and recent results
       ivrac upload retry                 retry failed uploads now
       ivrac upload clear                 forget finished/failed entries
       ivrac upload mode [ask|auto|manual]

--wait blocks until each file is uploaded and prints its share link.
Modes (after a hotkey/tray capture, when linked): ask = clicking the toast uploads it; auto = upload right away; manual = only via this command.

Exit codes: 0 ok, 1 failed, 2 usage, 3 agent not running, 6 not linked.
)TXT";

static const wchar_t help_windows[] = LR"TXT(List capturable top-level windows (visible, titled, uncloaked, non-tool).

Usage: ivrac windows [--all]

  --all   also list untitled and tool windows

Output: one line per window: HWND(hex)  PID  WxH@X,Y  STATE (min, max or -)
        EXE  "TITLE"; minimized windows show their restored bounds.
JSON:   [{hwnd,pid,exe,title,x,y,w,h,state,active},...]

Examples:
  ivrac windows
  ivrac windows --json
)TXT";

static const wchar_t help_screens[] =
    LR"TXT(List monitors in the agent's capture order (index usable as 'ivrac shot --screen i').

Usage: ivrac screens        (alias: ivrac desktops)

Output: #i  WxH@X,Y  dpi  primary  name
        plus a line "virtual  WxH@X,Y" with the bounding box of all monitors.
JSON:   [{index,x,y,w,h,primary,dpi,name},...]
Starts the agent when it is not running.
)TXT";

static const wchar_t help_last[] = LR"TXT(Print paths of the most recent captures (newest first) from history.txt.

Usage: ivrac last [-n <count>]

  -n <count>   number of entries (default: 1)

Output: one absolute path per line, or a JSON array.
)TXT";

static const wchar_t help_status[] = LR"TXT(Show agent status. Does NOT auto-start the agent.

Usage: ivrac status

Output: the agent's fields (version, pid, capture state, settings) one per
line, the hk_* lines (key, hotkey text, registration state), a pools block
(threads, depth, high water, done, rejected, average ms per job) and a
memory line (total, frame budget, committed per pool).
JSON:   one object with the fields, "hotkeys", "pools" and "memory" objects.
Exit: 0 running, 3 not running (prints 'agent: not running').
)TXT";

static const wchar_t help_input[] = LR"TXT(Inspect the input broker without starting the agent or capturing anything.

Usage: ivrac input [--json]

Output: the broker's counters: which routes are enabled and ready (registered
hotkeys, raw input, keyboard hook, raw mouse), events seen per route,
accepted actions, duplicates, stale and blocked events, and the state of an
open selection (session, focus requested and owned).

Configuration:
  ivrac config set hotkey_raw on|off
  ivrac config set hotkey_hook on|off
  ivrac config set region_input auto|native|raw
  ivrac config set region_capture_input on|off
  ivrac config set raw_mouse_percent 100

Registered hotkeys remain enabled; raw/hook paths are independently optional.
Selections expire after 120 seconds.
Exit: 0 diagnostics available, 1 unsupported, 2 usage, 3 agent unavailable.
)TXT";

static const wchar_t help_agent[] = LR"TXT(Manage the tray agent process.

Usage: ivrac agent <start|stop|restart|fix-cursor>

  start       launch ivrad.exe from ivrac's directory, wait for the pipe (5s)
  stop        ask the agent to quit, wait up to 3s
  restart     stop then start
  fix-cursor  restore system cursors if Ivra crashed during a region pick

Exit: 0 ok, 1 timed out or failed.
)TXT";

static const wchar_t help_config[] =
    LR"TXT(Read or write %APPDATA%\Ivra\config.ini; the running agent and any open settings window reload immediately.

Usage: ivrac config [get [key...]]
       ivrac config set <key> <value> [<key> <value>...] [--no-create] [--dry-run]
       ivrac config reset <key... | --all> [--no-create] [--dry-run]
       ivrac config schema [key]
       ivrac config path

Keys (see 'ivrac config schema' for defaults and descriptions):
  stills_dir, clips_dir                 path
  folder1 .. folder9                    path (empty = slot unset)
  still_format                          enum png|jpg
  jpeg_quality                          int 1..100
  clip_fps                              int 1..240
  clip_bitrate_kbps                     int 500..200000
  clip_encoder                          enum auto|h264_nvenc|h264_amf|h264_qsv|h264_mf
  play_sound, region_grid               bool
  hotkey_raw, hotkey_hook               bool
  region_input                          enum auto|native|raw
  raw_mouse_percent                     int 25..400
  region_capture_input                  bool
  hk_screen, hk_window, hk_region, hk_clip, hk_clip_app, hk_clip_screen,
  hk_replay, hk_clip_pause, hk_clip_redo
                                        hotkey ("Ctrl+Shift+S", "PrtSc", "none")
  clip_audio_system, clip_audio_mic     bool
  replay_enabled                        bool
  warn_free_mb, stop_free_mb            int 0..1048576
  warn_ivra_gb                          int 0..100000
  mem_percent                           int 1..50 (needs agent restart)
  stills_workers, clips_workers         int 1..16 (needs agent restart)
  dxgi_keep_warm, region_freeze         bool
  server_url                            url
  upload_mode                           enum ask|auto|manual
  upload_workers                        int 1..4 (needs agent restart)
  onboarded, update_auto                bool

set/reset validate every pair before writing (atomic). If the agent is running it reloads via the pipe and hotkey registration results are shown.

Examples:
  ivrac config get
  ivrac config get jpeg_quality hk_region --json
  ivrac config set still_format jpg jpeg_quality 90
  ivrac config set hk_region "Ctrl+Shift+S" --dry-run
  ivrac config set folder1 "D:\shots\bugs"
  ivrac config reset --all
)TXT";

static const wchar_t help_settings[] = LR"TXT(Manage the Ivra settings window (ivra.exe).

Usage: ivrac settings <open|close|status|focus>

  open      launch ivra.exe, or bring it to the front if already open
  close     close the settings window
  status    print 'settings: open|closed' (JSON: {"open":bool})
  focus     bring the open settings window to the front
)TXT";

static const wchar_t help_folders[] = LR"TXT(List the folder1..9 capture slot dirs (from config.ini).

Usage: ivrac folders [--json]

Output: SLOT  PATH  EXISTS (empty slots show '-'; EXISTS = the directory is on disk)
JSON:   [{slot,path,exists},...]

Set a slot with: ivrac config set folder1 "D:\shots\bugs"
Use a slot with: ivrac shot --folder 1, or hold 1-9 while pressing a capture hotkey.
)TXT";

static const wchar_t help_storage[] = LR"TXT(Show drive usage and Ivra folder sizes.

Usage: ivrac storage [--refresh] [--json]

  --refresh   force a rescan of the Ivra folders first (agent only)

Output: the drive of stills_dir with its total and free space, the size of
the Ivra folders (stills, clips, other) with file counts and the age of the
last scan, and the thresholds.
JSON:   {drive,total,free,stills,clips,other,ivra,roots,age_s,scan_ms,flags,thresholds}
If the agent is down, the folders are scanned locally (note on stderr).

Thresholds: warn_free_mb (default 2048) warns about low space, stop_free_mb
(default 256) refuses captures (code disk_full), warn_ivra_gb (0 = off) warns
when the Ivra folders grow too big. While space is low, shots still succeed
but carry warning=low_space and free_mb.
)TXT";

static const wchar_t help_agent_docs[] = LR"TXT(Print a compact usage guide for LLM agents (same as 'ivrac agent-docs').

Usage: ivrac agent-docs
)TXT";

static const wchar_t help_help[] = LR"TXT(Show help for a command.

Usage: ivrac help [command]
)TXT";

static const wchar_t agent_docs[] = LR"TXT(# Ivra — screenshot CLI for agents

The agent `ivrad.exe` is a tray-resident Windows capture agent driven over a named pipe by this CLI (`ivrac`). Every example below can be run directly.

## 5-second workflow

1. `ivrac windows` — list capturable windows (handle, pid, size, exe, title).
2. `ivrac shot --hwnd <handle> --json` — shoot one of them.
3. Read the absolute `path` it prints; the PNG is on disk.

## Commands

```
ivrac shot                              # monitor under the cursor
ivrac shot --screen 1                   # monitor by index (see: ivrac screens)
ivrac shot --window "File Explorer"     # unique title/class/exe substring
ivrac shot --hwnd 0x1a2b3c              # window by handle
ivrac shot --pid 4242                   # first window of a process
ivrac shot --active                     # foreground window
ivrac shot --region 0,0,800,600         # screen rectangle, may span monitors
ivrac shot --pick                       # interactive drag selection
ivrac windows [--all]
ivrac screens
ivrac last -n 5
ivrac status                            # exit 3 if the agent is down
ivrac agent start|stop|restart|fix-cursor
ivrac config get|set|reset|schema
ivrac settings open|close|status|focus
ivrac folders
ivrac storage [--refresh]
ivrac agent-docs
```

## Useful flags (shot)

- `--json` one JSON object: path, width, height, bytes, ms, target.
- `--stdout` image bytes to stdout (nothing else there); safe for pipes and redirection.
- `-o <path>` exact output file ending in .png, .jpg or .jpeg (the extension picks the format); `--format png|jpg` overrides the configured format.
- `--occluded` capture through `PrintWindow` (sees covered windows).
- `--silent` no capture sound.
- `--timeout <ms>` capture timeout, default 10 s; for `--pick` 60 s.

## Clips (MP4, <= 30 s, one at a time)

- `ivrac clip start --screen 0 --seconds 5 --wait` blocks and prints the saved path.
- `ivrac clip start --active` follows the foreground window and returns at once (prints the path that will be written).
- `ivrac clip pause|resume|redo|stop|cancel` — redo restarts the take at once on the same target; stop saves, cancel discards.
- `ivrac clip status --json` shows state, elapsed seconds and the encoder.
- Hotkeys: `hk_clip` (default Ctrl+Shift+G) picks a region, window or screen to record; `hk_clip_app` (unset by default, e.g. `ivrac config set hk_clip_app "Ctrl+Shift+A"`) records the foreground application. Pressing a clip hotkey while recording stops and saves.

## Screens & regions

- `ivrac screens` lists monitors with their index, size and position.
- `--region x,y,w,h` together with `--screen i` is local to that monitor (0,0 = its top-left); without `--screen` it is in virtual-desktop coordinates.
- Out-of-range or empty regions exit 4 (codes out_of_bounds, no_coverage) with the bounds in the message; a bad index exits 4 with bad_screen.

## Configure

- `ivrac config schema` (keys, types, defaults, ranges), `ivrac config get`.
- `ivrac config set still_format jpg`
- `ivrac config set hk_region "Ctrl+Shift+S" play_sound off`
- `ivrac config set region_grid off`
- `ivrac config reset jpeg_quality`
- Verify with `ivrac status`: the hk_* fields show ok when registered.
- Hotkeys are written "[Ctrl+][Alt+][Shift+][Win+]<key>" or "none"; keys are letters, digits, F1-F24, Num0-Num9, PrtSc, Space, Tab, Enter, Esc, arrows and the like. A modifier is required unless the key is PrtSc or an F-key.
- Changes apply at once in the agent and in an open settings window.
- Frame memory is capped at `mem_percent` of RAM (default 10, split 40 % stills / 60 % clips); `mem_percent`, `stills_workers` and `clips_workers` need `ivrac agent restart`.
- `ivrac status` shows pool depth, high water, completed jobs and memory.

## Input compatibility

- `ivrac input --json` shows the hotkey routes and selection input counters.
- `region_input auto|raw`: auto follows the mouse natively and switches to raw input when the cursor is confined; raw always reads raw mouse input.
- `region_capture_input on|off`: on takes the input focus while selecting and gives it back afterwards; off leaves the focus where it is.
- `hotkey_raw` and `hotkey_hook` default on; registered shortcuts stay active either way.
- All routes share one press/release arbiter, so duplicate reports of a key never capture twice.
- Raw cursor speed is `raw_mouse_percent` (25..400); backend changes apply on the next pick.

## Folders

- Slots `folder1`..`folder9` are full destination folders: `ivrac config set folder1 "D:\shots\bugs"`, list them with `ivrac folders`, use one with `ivrac shot --folder 1`.
- `--folder <name>` is a one-level subfolder of `stills_dir`: `ivrac shot --folder adhoc`.
- People can hold 1-9 (numpad too) while pressing a capture hotkey to file the shot into that slot; the region overlay also accepts digit taps.

## Storage

- `ivrac storage [--json]` shows drive usage and the Ivra folder sizes.
- Thresholds: `warn_free_mb` (2048), `stop_free_mb` (256), `warn_ivra_gb` (0 = off).
- While space is low, shots reply with warning=low_space[,ivra_big] and free_mb; below `stop_free_mb` a capture is refused with code disk_full.

## Exit codes

```
0 ok  1 capture failed  2 usage error  3 agent unavailable
4 bad or ambiguous target  5 idle or busy (clips)  6 not linked
```
With `--json`, every command prints exactly one JSON object on stdout; failures print {"error":"<code>","message":"<text>"}.
Codes: bad_screen out_of_bounds no_coverage usage ambiguous not_found agent_unavailable capture_failed disk_full busy
- exit 2: `usage` (mistyped command or argument; stderr adds a "Try" line).
- exit 3: `agent_unavailable` (the agent is not running or cannot be started).
- exit 4: `not_found`, `ambiguous`, `bad_screen`, `out_of_bounds`, `no_coverage`, `bad_folder` (slot not set).
- exit 1 from the agent's capture: `busy`, `disk_full`, `minimized`, `bad_hwnd` (no such window), `capture`, `encode`, `cancelled`, `timeout`, `internal`, `bad_folder` (invalid name), `bad_dir`, `usage`.
- exit 1 from ivrac: `capture_failed` (no reply), `bad_path` (-o cannot be written), `not_saved` (a waited clip or replay was not saved), `internal` (answer too large), `input_unavailable`, `dump_failed`, `autostart`, `config`, `not_found` (settings window).

## Gotchas

- Paths are absolute.
- `--window` needs exactly one match; disambiguate with `--hwnd`.
- Minimized windows cannot be captured (exit 1, code minimized); covered windows need `--occluded`.
- `--active` fails when the foreground window is this console.
- The CLI auto-starts `ivrad.exe` for `shot` and `screens`; `status` never does.
)TXT";

const wchar_t* cli_help_main() { return help_main; }

const wchar_t* cli_help_agent_docs() { return agent_docs; }

const wchar_t* cli_help_topic(const wchar_t* word) {
    static const struct {
        const wchar_t* word;
        const wchar_t* text;
    } topics[] = {
        {L"shot", help_shot},
        {L"clip", help_clip},
        {L"replay", help_replay},
        {L"account", help_account},
        {L"upload", help_upload},
        {L"windows", help_windows},
        {L"screens", help_screens},
        {L"desktops", help_screens},
        {L"last", help_last},
        {L"status", help_status},
        {L"input", help_input},
        {L"agent", help_agent},
        {L"config", help_config},
        {L"settings", help_settings},
        {L"folders", help_folders},
        {L"storage", help_storage},
        {L"agent-docs", help_agent_docs},
        {L"help", help_help},
    };
    if (!word) return nullptr;
    for (const auto& t : topics)
        if (wcscmp(t.word, word) == 0) return t.text;
    return nullptr;
}
