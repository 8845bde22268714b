-- Json access: a list of 1000 objects {a = i, b = 2 * i}; 10000 times sum += list[j].a + list[j].b over the list.
local t0 = os.clock()
local list = {}
local i = 0
while i < 1000 do
    list[i + 1] = {}
    list[i + 1].a = i
    list[i + 1].b = i * 2
    i = i + 1
end
local sum = 0
local rep = 0
while rep < 10000 do
    local j = 0
    while j < 1000 do
        sum = sum + list[j + 1].a + list[j + 1].b
        j = j + 1
    end
    rep = rep + 1
end
print(string.format("%.6f", os.clock() - t0), sum)
