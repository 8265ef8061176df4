# CallProgramProcedure (declared in program_call.cpp): the arguments pushed last to first,
# the call, and the stack pointer then compared with where it stood after the pushes. EBX
# holds that mark across the call and EBP the frame, both kept by a procedure of either
# convention; the frame also restores the stack whatever the procedure did to it.
    .text
    .globl _CallProgramProcedure
_CallProgramProcedure:
    push %ebp
    mov %esp, %ebp
    push %ebx
    push %esi
    mov 16(%ebp), %ecx          # count
    mov 12(%ebp), %esi          # arguments
1:  test %ecx, %ecx
    jz 2f
    dec %ecx
    pushl (%esi,%ecx,4)
    jmp 1b
2:  mov %esp, %ebx
    call *8(%ebp)               # procedure
    mov %esp, %ecx
    sub %ebx, %ecx
    mov 20(%ebp), %edx          # moved
    mov %ecx, (%edx)
    lea -8(%ebp), %esp
    pop %esi
    pop %ebx
    pop %ebp
    ret
