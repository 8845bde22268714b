-- Three-parameter recursion: tak(26, 18, 9); prints the time in seconds and the result.
local t0 = os.clock()
local function tak(x, y, z)
    if y >= x then return z end
    return tak(tak(x - 1, y, z), tak(y - 1, z, x), tak(z - 1, x, y))
end
local r = tak(26, 18, 9)
print(string.format("%.6f", os.clock() - t0), r)
