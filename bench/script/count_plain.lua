-- i = 0; while i < 10000000 do i = i + 1 end (compared with count_plain.lasm)
local t0 = os.clock()
local i = 0
while i < 10000000 do i = i + 1 end
print(string.format("%.6f", os.clock() - t0), i)
