-- s = ""; 20000 times s = s .. "ab"
local t0 = os.clock()
local s = ""
local i = 0
while i < 20000 do
    s = s .. "ab"
    i = i + 1
end
print(string.format("%.6f", os.clock() - t0), #s)
