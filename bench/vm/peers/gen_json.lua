-- gen_json.lua: writes the JSON document that json_decode.vk reads and prints
-- what json_decode.vk must print for it (the check of its output).
-- usage: lua gen_json.lua [items] [path]   (default 75000 items, about 10 MB)
local n = tonumber(arg and arg[1]) or 75000
local path = (arg and arg[2]) or "json_doc.json"
local parts = {}
local ids, cents, tags, nulls, stock, name_bytes = 0, 0, 0, 0, 0, 0
local x = 42
for i = 1, n do
  x = (x * 16807) % 2147483647
  local c = x % 100000
  local name, bytes = "item-" .. i, #("item-" .. i)
  if i % 10 == 0 then
    -- escapes: \" is one byte, each \u00e9 two bytes of UTF-8
    name = name .. " \\\"\\u00e9t\\u00e9\\\""
    bytes = bytes + 1 + 1 + 2 + 1 + 2 + 1
  end
  local ntags = i % 4
  local tl = {}
  for t = 1, ntags do tl[t] = '"tag' .. ((i + t) % 7) .. '"' end
  local st = "null"
  if i % 3 ~= 0 then st = tostring(x % 50); stock = stock + x % 50 else nulls = nulls + 1 end
  parts[i] = string.format(
    '{"id":%d,"name":"%s","price":%d.%02d,"tags":[%s],"stock":%s,' ..
    '"meta":{"color":"%s","weight":%d.25,"dims":[1.5,2.5,%d.0]}}',
    i, name, c // 100, c % 100, table.concat(tl, ","), st,
    (i % 2 == 0) and "red" or "blue", i % 9, i % 5)
  ids = ids + i
  cents = cents + c
  tags = tags + ntags
  name_bytes = name_bytes + bytes
end
local f = assert(io.open(path, "w"))
f:write('{"version": 3, "note": "generated", "items": [\n', table.concat(parts, ",\n"), "\n]}\n")
f:close()
print(string.format("%d items, id sum %d", n, ids))
print(string.format("price cents %d, tags %d", cents, tags))
print(string.format("stock %d, %d unknown, name bytes %d", stock, nulls, name_bytes))
