-- query.lua: the same work as query.vk with a plain array, a filter and
-- table.sort (scores are distinct, so any correct sort gives one order).
-- usage: lua query.lua [n] [rounds]
local n = tonumber(arg and arg[1]) or 100000
local rounds = tonumber(arg and arg[2]) or 20
local rows = {}
local x = 42
for i = 1, n do
  x = (x * 16807) % 2147483647
  rows[i] = { id = i, score = x, kind = i % 4 }
end
local sum = 0
for round = 0, rounds - 1 do
  local limit = 2126008810 - round * 1000000
  local hits = {}
  for i = 1, n do
    local r = rows[i]
    if r.score >= limit and r.kind ~= 0 then hits[#hits + 1] = r end
  end
  table.sort(hits, function(a, b) return a.score > b.score end)
  local top = math.min(10, #hits)
  if round == 0 then
    local ids = {}
    for i = 1, top do ids[i] = " " .. hits[i].id end
    print("best:" .. table.concat(ids))
  end
  for i = 1, top do sum = (sum * 31 + hits[i].id) % 1000000007 end
end
print(string.format("%d", sum))
