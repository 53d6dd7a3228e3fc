-- Load: Loop serving 1000 endless timers for 10 seconds (both can be changed through
-- TAPLINE_LOAD_TIMERS and TAPLINE_LOAD_SECONDS). Run by scripts/load with the console
-- program; the timer lines go to /dev/null, the findings to standard error. Ends with
-- os.exit(1) when memory grew or a timer was served less often than another.
local timers = tonumber(os.getenv("TAPLINE_LOAD_TIMERS")) or 1000
local seconds = tonumber(os.getenv("TAPLINE_LOAD_SECONDS")) or 10
local flat_kb = 1024  -- growth of resident memory still counted as flat

local function resident_kb()
  local status = io.open("/proc/self/status")
  if not status then return -1 end
  local text = status:read("a")
  status:close()
  return tonumber(text:match("VmRSS:%s*(%d+)")) or -1
end

local fired = {}
for i = 1, timers do
  fired[i] = 0
  TimerLoopStart(function() fired[i] = fired[i] + 1 end, 0)
end

local start = GetTimeStamp()
local settled_rss, settled_lua
local last_rss, last_lua
-- The watcher comes last in the timer list, so each of its firings ends a whole pass.
TimerLoopStart(function()
  collectgarbage()
  last_rss, last_lua = resident_kb(), collectgarbage("count")
  local elapsed = (GetTimeStamp() - start) / 1000
  if not settled_rss and elapsed >= 1 then settled_rss, settled_lua = last_rss, last_lua end
  if elapsed >= seconds then EndScript() end
end, 1000)
Loop()

local elapsed = (GetTimeStamp() - start) / 1000
local least, most = math.huge, 0
for i = 1, timers do
  least = math.min(least, fired[i])
  most = math.max(most, fired[i])
end
local fair = most - least <= 1
local flat = last_rss - settled_rss <= flat_kb and last_lua - settled_lua <= 64
io.stderr:write(string.format(
  "Loop: %d endless timers for %.1f s: %d passes (%.0f/s), each timer fired %d to %d times (%s)\n",
  timers, elapsed, most, most / elapsed, least, most, fair and "fair" or "UNFAIR"))
io.stderr:write(string.format(
  "memory after 1 s: %d kB resident, %.0f kB Lua; at the end: %d kB resident, %.0f kB Lua (%s)\n",
  settled_rss, settled_lua, last_rss, last_lua, flat and "flat" or "GROWING"))
if not (fair and flat) then os.exit(1) end
