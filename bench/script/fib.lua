-- Recursive fib(27); prints the time in seconds and the result.
local t0 = os.clock()
local function fib(n)
    if n < 2 then return n end
    return fib(n - 1) + fib(n - 2)
end
local r = fib(27)
print(string.format("%.6f", os.clock() - t0), r)
