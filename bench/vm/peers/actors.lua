-- actors.lua: prints what actors.vk must print for n messages (the sink sees
-- every message once, each raised by 1 + 2 + 3 on the way). Not timed: it
-- only checks the output.
-- usage: lua actors.lua [n]   (default 250000)
local n = tonumber(arg and arg[1]) or 250000
print(string.format("%d messages, total %d", n, n * (n + 1) // 2 + 6 * n))
