-- A function value with a bound argument called in a loop:
-- step = 3; f = function(x) return x + step end; acc = 0; 3 million times acc = f(acc)
local t0 = os.clock()
local step = 3
local function f(x) return x + step end
local acc = 0
local i = 0
while i < 3000000 do
    acc = f(acc)
    i = i + 1
end
print(string.format("%.6f", os.clock() - t0), acc)
